#include "engine/service/StandardTransfer.h"

#include "engine/events/JsonText.h"
#include "engine/events/TransferEvents.h"
#include "engine/optimizer/TransferOptimizer.h"

#include <algorithm>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <filesystem>
#include <limits>
#include <set>
#include <sstream>
#include <system_error>
#include <vector>

#include "engine/file/SharedFileFactory.h"
#include "engine/manifest/GeolocationManifest.h"
#include "engine/manifest/NodeManifest.h"
#include "engine/manifest/PackageManifest.h"
#include "engine/service/AcquisitionStatusData.h"
#include "engine/service/StandardTransferData.h"
#include "engine/service/StandardTransferWorkInterface.h"
#include "engine/service/TransferStatusImpl.h"
#include "engine/service/UnsetValue.h"
#include "engine/work/WorkManager.h"
#include "engine/work/WorkStatus.h"
#include "engine/work/Workflow.h"
#include "engine/workflow/TransferStatusData.h"
#include "engine/workflow/TransferWorkflowFactory.h"

namespace tvl {
namespace {

namespace fs = std::filesystem;

std::uint64_t SaturatingAdd(std::uint64_t a, std::uint64_t b) {
    return b > std::numeric_limits<std::uint64_t>::max() - a ? std::numeric_limits<std::uint64_t>::max()
                                                             : a + b;
}

std::string ExceptionText() {
    try {
        throw;
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown exception";
    }
}

}  // namespace

StandardTransfer::StandardTransfer(const TransferParams& params, const TransferBehavior& behavior,
                                   TransferWorkflowFactory* workflowFactory, MillisecondClock clock)
    : workflowFactory_(workflowFactory),
      behavior_(behavior),
      initialParams_(params),
      clock_(std::move(clock)) {}

StandardTransfer::~StandardTransfer() {
    // Works still under way may outlive the transfer: they find the interface
    // inactive. The tree is paused so that it stops using the work manager.
    std::shared_ptr<Workflow> workflow;
    {
        Lock lock(mutex_);
        if (interface_) {
            interface_->Deactivate();
        }
        workflow = std::move(workflow_);
    }
    if (workflow) {
        workflow->Pause();
    }
}

void StandardTransfer::Construct() {
    Lock lock(mutex_);
    Rebuild(initialParams_);
    CreateWorkflow();
    if (initialParams_.suspended) {
        data_->status->SetState(TransferState::Suspended);
    }
}

void StandardTransfer::Rebuild(const TransferParams& params) {
    if (interface_) {
        interface_->Deactivate();
    }
    const TransferBehavior behavior = data_ ? data_->behavior : behavior_;
    data_ = std::make_shared<StandardTransferData>(params, behavior, clock_);
    interface_ = std::make_shared<StandardTransferWorkInterface>(weak_from_this(), data_);
    periodicMarkMs_ = 0;
}

void StandardTransfer::CreateWorkflow() {
    if (workflow_ || workflowFactory_ == nullptr) {
        return;
    }
    workflow_ = workflowFactory_->CreateWorkflow(interface_);
    if (workflow_) {
        workflow_->AddRetryableErrorCallback(interface_->GetRetryableErrorCallback());
    }
}

void StandardTransfer::ReleaseWorkflow() {
    if (!workflow_) {
        return;
    }
    WorkManager* housekeeping = data_->behavior.housekeepingWorkManager;
    if (housekeeping == nullptr) {
        workflow_.reset();
        return;
    }
    // The holder is emptied on the housekeeping thread, so the tree is torn
    // down there and not on the caller's thread under the transfer's mutex.
    auto holder = std::make_shared<std::shared_ptr<Workflow>>(std::move(workflow_));
    workflow_.reset();
    housekeeping->Post([holder] { holder->reset(); });
}

void StandardTransfer::SetState(TransferState state) {
    data_->status->SetState(state);
    if (workflow_) {
        workflow_->Pause();
        ReleaseWorkflow();
    }
}

TransferStatus StandardTransfer::RaiseEvent(Lock& lock, TransferEventRecord event) {
    event.status = data_->status->Snapshot();
    event.transfer = interface_;
    event.progress = data_->status;
    const TransferStatus status = event.status;
    lock.unlock();
    SendEvent(event);
    return status;
}

TransferStatus StandardTransfer::RaiseEvent(Lock& lock, TransferEventKind kind) {
    return RaiseEvent(lock, TransferEventRecord(kind));
}

void StandardTransfer::SendEvent(const TransferEventRecord& event) { FireTransferEvent(event); }

TransferStatus StandardTransfer::Fatal(Lock& lock, const std::string& message, TransferError code) {
    data_->status->SetError(code, false);
    TransferEventRecord event(TransferEventKind::FatalError);
    event.detail = CreateTransferErrorData(code, message);
    const std::shared_ptr<WorkStatusData> detail = event.detail;
    const std::shared_ptr<Workflow> workflow = workflow_;
    const TransferStatus status = RaiseEvent(lock, std::move(event));
    lock.lock();
    // A final status refuses every operation that could have replaced the
    // workflow meanwhile; the check keeps it that way should that change.
    if (workflow && workflow_ == workflow) {
        workflow->Cancel(WorkStatus(WorkResult::Error, detail));
        ReleaseWorkflow();
    }
    lock.unlock();
    return status;
}

bool StandardTransfer::IsInitializing() const {
    const TransferState state = data_->status->GetState();
    return state == TransferState::Initializing || state == TransferState::InitializingPaused;
}

// Operations.

TransferStatus StandardTransfer::Initialize() {
    Lock lock(mutex_);
    return InitializeLocked(lock);
}

TransferStatus StandardTransfer::InitializeLocked(Lock& lock) {
    auto& status = *data_->status;
    if (status.GetState() == TransferState::Initializing && status.GetError() == TransferError::None &&
        workflow_ && workflow_->Start()) {
        return RaiseEvent(lock, TransferEventKind::Initialize);
    }
    return StatusLocked(lock);
}

TransferStatus StandardTransfer::Start(const std::string& destination) {
    Lock lock(mutex_);
    bool accepted = false;
    return StartLocked(lock, destination, &accepted);
}

TransferStatus StandardTransfer::StartLocked(Lock& lock, const std::string& destination, bool* accepted) {
    *accepted = false;
    TransferParams& params = data_->params;
    const bool acceptable = IsUnspecified(params.destPath)
                                ? !IsUnspecified(destination)
                                : (IsUnspecified(destination) || destination == params.destPath);
    auto& status = *data_->status;
    if (!acceptable || status.GetState() != TransferState::Initialized ||
        status.GetError() != TransferError::None || !workflow_) {
        return StatusLocked(lock);
    }
    if (IsUnspecified(params.destPath)) {
        params.destPath = destination;
    }
    status.SetState(TransferState::Transferring);
    workflow_->Resume();
    *accepted = true;
    return RaiseEvent(lock, TransferEventKind::Start);
}

TransferStatus StandardTransfer::GetStatus() {
    Lock lock(mutex_);
    TransferStatus status = StatusLocked(lock);
    const std::uint64_t transferTime = data_->status->TransferTimeMs().Value();
    const std::uint64_t interval =
        static_cast<std::uint64_t>(data_->behavior.settings.periodicUpdateSeconds) * 1000;
    if (transferTime - periodicMarkMs_ > interval) {
        periodicMarkMs_ = transferTime;
        TransferEventRecord event(TransferEventKind::PeriodicUpdate);
        event.status = status;
        event.transfer = interface_;
        event.progress = data_->status;
        lock.unlock();
        SendEvent(event);
    }
    return status;
}

TransferStatus StandardTransfer::StatusLocked(Lock& /*lock*/) {
    return data_->status->Snapshot();
}

TransferStatus StandardTransfer::Cancel(bool deleteFiles) {
    Lock lock(mutex_);
    return CancelLocked(lock, deleteFiles);
}

TransferStatus StandardTransfer::CancelLocked(Lock& lock, bool deleteFiles) {
    auto& status = *data_->status;
    if (deleteFiles &&
        !(status.GetState() == TransferState::Suspended && status.GetError() == TransferError::None)) {
        data_->deleteFiles = true;
        DeleteRegisteredFiles();
    }
    if (status.IsFinal()) {
        return StatusLocked(lock);
    }
    SetState(TransferState::Canceled);
    return RaiseEvent(lock, TransferEventKind::Cancel);
}

TransferStatus StandardTransfer::Pause() {
    Lock lock(mutex_);
    return PauseLocked(lock);
}

TransferStatus StandardTransfer::PauseLocked(Lock& lock) {
    auto& status = *data_->status;
    const TransferState state = status.GetState();
    if ((state == TransferState::Initializing || state == TransferState::Transferring) && workflow_ &&
        workflow_->Pause()) {
        status.SetState(state == TransferState::Initializing ? TransferState::InitializingPaused
                                                             : TransferState::TransferringPaused);
        return RaiseEvent(lock, TransferEventKind::Pause);
    }
    return StatusLocked(lock);
}

TransferStatus StandardTransfer::Resume() {
    Lock lock(mutex_);
    return ResumeLocked(lock);
}

TransferStatus StandardTransfer::ResumeLocked(Lock& lock) {
    auto& status = *data_->status;
    const TransferState state = status.GetState();
    if ((state == TransferState::InitializingPaused || state == TransferState::TransferringPaused) &&
        workflow_ && workflow_->Resume()) {
        status.SetState(state == TransferState::InitializingPaused ? TransferState::Initializing
                                                                   : TransferState::Transferring);
        return RaiseEvent(lock, TransferEventKind::Resume);
    }
    return StatusLocked(lock);
}

TransferStatus StandardTransfer::Retry() {
    Lock lock(mutex_);
    return RetryLocked(lock);
}

TransferStatus StandardTransfer::RetryLocked(Lock& lock) {
    auto& status = *data_->status;
    if (status.GetError() != TransferError::None && status.IsRetryable() && workflow_ && workflow_->Retry()) {
        status.SetError(TransferError::None, false);
        return RaiseEvent(lock, TransferEventKind::Retry);
    }
    return StatusLocked(lock);
}

TransferStatus StandardTransfer::Suspend() {
    Lock lock(mutex_);
    return SuspendLocked(lock);
}

TransferStatus StandardTransfer::SuspendLocked(Lock& lock) {
    const TransferState state = data_->status->GetState();
    if (!data_->params.suspended &&
        (state == TransferState::Initializing || state == TransferState::InitializingPaused ||
         state == TransferState::Initialized)) {
        // Nothing worth keeping has happened yet: there is no destination to
        // come back to.
        return CancelLocked(lock, false);
    }
    const bool completed =
        state == TransferState::Completed && data_->status->GetError() == TransferError::None;
    if (data_->status->IsFinal() && !completed) {
        return StatusLocked(lock);
    }
    TransferParams params = data_->params;
    params.suspended = true;
    Rebuild(params);
    SetState(TransferState::Suspended);
    if (state == TransferState::Completed) {
        return StatusLocked(lock);
    }
    return RaiseEvent(lock, TransferEventKind::Suspend);
}

TransferStatus StandardTransfer::Restore() {
    Lock lock(mutex_);
    return RestoreLocked(lock);
}

TransferStatus StandardTransfer::RestoreLocked(Lock& lock) {
    auto& status = *data_->status;
    if (status.GetState() != TransferState::Suspended || status.GetError() != TransferError::None) {
        return StatusLocked(lock);
    }
    CreateWorkflow();
    if (workflow_) {
        workflow_->Start();
    }
    status.SetState(TransferState::Initializing);
    return RaiseEvent(lock, TransferEventKind::Restore);
}

std::shared_ptr<TransferWorkInterface> StandardTransfer::GetWorkInterface() {
    Lock lock(mutex_);
    return interface_;
}

std::shared_ptr<Workflow> StandardTransfer::GetWorkflow() {
    Lock lock(mutex_);
    return workflow_;
}

std::string StandardTransfer::GetNodeStatisticsJson() {
    std::shared_ptr<NodeListManifest> nodeList;
    TransferOptimizer* optimizer = nullptr;
    {
        Lock lock(mutex_);
        nodeList = data_->nodeList;
        optimizer = data_->behavior.transferOptimizer;
    }
    // One element per node, showing the per-host figures the optimizer keeps
    // rather than the node's own.
    boost::property_tree::ptree array;
    if (nodeList) {
        for (const auto& node : nodeList->GetNodes()) {
            const auto report = optimizer != nullptr ? node->CloneWithStatistics(optimizer->GetStatistics(*node)) : node;
            boost::property_tree::ptree element;
            report->Write(element);
            array.push_back(std::make_pair(std::string(), element));
        }
    }
    std::string json = JsonText(array);
    if (!json.empty() && json.back() == '\n') {
        json.pop_back();
    }
    return json;
}

// Destination checks.

bool StandardTransfer::CanTransferTo(const std::string& destination) {
    Lock lock(mutex_);
    const std::shared_ptr<PackageManifest> package = data_->package;
    if (data_->status->GetState() != TransferState::Initialized || !package) {
        return false;
    }
    TransferEventRecord event(TransferEventKind::CanTransferTo);
    event.status = StatusLocked(lock);
    event.transfer = interface_;
    event.progress = data_->status;
    event.transferSize = data_->status->GetBytesTotal();
    lock.unlock();

    event.destPath = destination;
    for (const auto& file : package->GetFiles()) {
        std::error_code error;
        const fs::path path = fs::path(destination) / file->GetPath();
        if (fs::is_regular_file(path, error)) {
            const std::uintmax_t size = fs::file_size(path, error);
            if (!error) {
                event.allocatedSpace = SaturatingAdd(event.allocatedSpace, size);
            }
        }
    }
    std::error_code error;
    const fs::space_info space = fs::space(destination, error);
    event.availableSpace = error || space.available == static_cast<std::uintmax_t>(-1) ? 0 : space.available;
    event.returned = SaturatingAdd(event.availableSpace, event.allocatedSpace) >= event.transferSize;
    SendEvent(event);
    return event.returned;
}

bool StandardTransfer::IsSubset(const std::string& destination, bool confirmSize) {
    Lock lock(mutex_);
    const std::shared_ptr<PackageManifest> package = data_->package;
    const TransferState state = data_->status->GetState();
    if (!package || (state != TransferState::Initialized && state != TransferState::Completed &&
                     state != TransferState::Canceled)) {
        return false;
    }
    TransferEventRecord event(TransferEventKind::IsSubset);
    event.status = StatusLocked(lock);
    event.transfer = interface_;
    event.progress = data_->status;
    lock.unlock();

    event.destPath = destination;
    event.option = confirmSize;
    event.returned = true;
    try {
        for (const auto& file : package->GetFiles()) {
            const fs::path path = fs::path(destination) / file->GetPath();
            std::error_code error;
            if (!fs::is_regular_file(path, error)) {
                event.returned = false;
                event.failure = path.string();
                break;
            }
            if (confirmSize) {
                const std::uintmax_t size = fs::file_size(path);
                if (size != file->GetSize()) {
                    event.returned = false;
                    event.failure = path.string();
                    event.hasActualSize = true;
                    event.actualSize = size;
                    break;
                }
            }
        }
    } catch (...) {
        event.returned = false;
        event.hasActualSize = false;
        event.failure = ExceptionText();
    }
    SendEvent(event);
    return event.returned;
}

bool StandardTransfer::IsSuperset(const std::string& destination, bool ignoreHidden) {
    Lock lock(mutex_);
    const std::shared_ptr<PackageManifest> package = data_->package;
    const TransferState state = data_->status->GetState();
    if (!package || (state != TransferState::Initialized && state != TransferState::Completed &&
                     state != TransferState::Canceled)) {
        return false;
    }
    SharedFileFactory* files = data_->behavior.sharedFileFactory;
    TransferEventRecord event(TransferEventKind::IsSuperset);
    event.status = StatusLocked(lock);
    event.transfer = interface_;
    event.progress = data_->status;
    lock.unlock();

    event.destPath = destination;
    event.option = ignoreHidden;
    event.returned = true;
    try {
        if (files == nullptr) {
            throw std::logic_error("StandardTransfer::IsSuperset called without a shared-file factory");
        }
        std::set<std::string> expected;
        for (const auto& file : package->GetFiles()) {
            expected.insert((fs::path(destination) / file->GetPath()).lexically_normal().string());
        }
        for (fs::recursive_directory_iterator entry(destination), end; entry != end; ++entry) {
            const fs::path path = entry->path();
            if (ignoreHidden && files->IsHidden(path.string())) {
                entry.disable_recursion_pending();
                continue;
            }
            const fs::file_status type = entry->symlink_status();
            bool belongs = false;
            if (fs::is_regular_file(type)) {
                belongs = expected.count(path.lexically_normal().string()) != 0;
            } else if (fs::is_directory(type)) {
                // An empty folder is content the package does not have.
                belongs = !files->IsEmpty(path.string(), ignoreHidden);
            }
            if (!belongs) {
                event.returned = false;
                event.failure = path.string();
                break;
            }
        }
    } catch (...) {
        event.returned = false;
        event.failure = ExceptionText();
    }
    SendEvent(event);
    return event.returned;
}

// Reports of the work tree.

void StandardTransfer::OnGeolocation(Lock& lock, const std::shared_ptr<const Work>& /*work*/,
                                     const WorkStatus& status) {
    if (data_->status->IsFinal() || status.result != WorkResult::Success) {
        return;
    }
    if (!IsInitializing()) {
        Fatal(lock, "Transfer::OnGeolocation called but transfer is not initializing",
              TransferError::InternalError);
        return;
    }
    const auto* data = dynamic_cast<const GeolocationStatusData*>(status.data.get());
    if (data == nullptr || !data->GetGeolocation()) {
        Fatal(lock,
              "Transfer::OnGeolocation called but data is not GeolocationStatusData or geolocation is null",
              TransferError::InternalError);
        return;
    }
    data_->geolocation = data->GetGeolocation();
}

void StandardTransfer::OnNodeListAcquire(Lock& lock, const std::shared_ptr<const Work>& /*work*/,
                                         const WorkStatus& status) {
    if (data_->status->IsFinal() || status.result != WorkResult::Success) {
        return;
    }
    if (!IsInitializing()) {
        Fatal(lock, "Transfer::OnNodeListAcquire called but transfer is not initializing",
              TransferError::InternalError);
        return;
    }
    const auto* data = dynamic_cast<const NodeListStatusData*>(status.data.get());
    if (data == nullptr || !data->GetNodeList()) {
        Fatal(lock,
              "Transfer::OnNodeListAcquire called but data is not NodeListStatusData or nodelist is null",
              TransferError::InternalError);
        return;
    }
    data_->nodeList = data->GetNodeList();
}

void StandardTransfer::OnPackageAcquire(Lock& lock, const std::shared_ptr<const Work>& /*work*/,
                                        const WorkStatus& status) {
    if (data_->status->IsFinal() || status.result != WorkResult::Success) {
        return;
    }
    if (!IsInitializing()) {
        Fatal(lock, "Transfer::OnPackageAcquire called but transfer is not initializing",
              TransferError::InternalError);
        return;
    }
    const auto* data = dynamic_cast<const PackageStatusData*>(status.data.get());
    if (data == nullptr || !data->GetPackage()) {
        Fatal(lock, "Transfer::OnPackageAcquire called but data is not PackageStatusData or package is null",
              TransferError::InternalError);
        return;
    }
    const std::shared_ptr<PackageManifest>& package = data->GetPackage();
    if (package->GetPartnerId() != data_->params.partnerId || package->GetId() != data_->params.packageId) {
        Fatal(lock, "Transfer::OnPackageAcquire called but package does not match ids",
              TransferError::ContentError);
        return;
    }
    data_->package = package;
    data_->params.versionId = package->GetVersionId();
}

void StandardTransfer::OnInitialize(Lock& lock, const std::shared_ptr<const Work>& /*work*/,
                                    const WorkStatus& status) {
    if (data_->status->IsFinal() || status.result != WorkResult::Success) {
        return;
    }
    if (!IsInitializing()) {
        Fatal(lock, "Transfer::OnInitialize called but transfer is not initializing",
              TransferError::InternalError);
        return;
    }
    if (!data_->package) {
        Fatal(lock, "Transfer::OnInitialize called but package is missing", TransferError::InternalError);
        return;
    }
    if (!data_->nodeList) {
        Fatal(lock, "Transfer::OnInitialize called but nodelist is missing", TransferError::InternalError);
        return;
    }
    if (!data_->geolocation) {
        Fatal(lock, "Transfer::OnInitialize called but geolocation is missing", TransferError::InternalError);
        return;
    }
    data_->status->SetState(TransferState::Initialized);
    data_->status->TakePackage(*data_->package);
    if (workflow_) {
        workflow_->Pause();
    }
    RaiseEvent(lock, TransferEventKind::InitializeComplete);
}

void StandardTransfer::OnWorkComplete(Lock& lock, const std::shared_ptr<const Work>& /*work*/,
                                      const WorkStatus& status) {
    auto& progress = *data_->status;
    if (progress.IsFinal() || status.result == WorkResult::Cancelled ||
        status.result == WorkResult::RetryableError) {
        return;
    }
    if (status.result == WorkResult::Success) {
        const TransferState state = progress.GetState();
        const std::uint64_t total = progress.GetBytesTotal();
        const bool complete =
            data_->package &&
            (state == TransferState::Transferring || state == TransferState::TransferringPaused) &&
            progress.GetError() == TransferError::None && progress.GetBytesDone() == total &&
            progress.GetBytesVerified() == total;
        if (complete) {
            SetState(TransferState::Completed);
            RaiseEvent(lock, TransferEventKind::Complete);
        } else {
            Fatal(lock, "Transfer::OnWorkComplete called with Success result but progress is not complete",
                  TransferError::InternalError);
        }
        return;
    }
    const auto data = std::dynamic_pointer_cast<TransferStatusData>(status.data);
    if (!data) {
        Fatal(lock, "Transfer::OnWorkComplete called with error result but data is not TransferStatusData",
              TransferError::InternalError);
        return;
    }
    const TransferError error = data->ToTransferError();
    if (error == TransferError::None) {
        Fatal(lock, "Transfer::OnWorkComplete called with error result but data->ToTransferError() is None",
              TransferError::InternalError);
        return;
    }
    progress.SetError(error, false);
    if (workflow_) {
        workflow_->Pause();
        ReleaseWorkflow();
    }
    TransferEventRecord event(TransferEventKind::FatalError);
    event.detail = status.data;
    RaiseEvent(lock, std::move(event));
}

void StandardTransfer::OnWorkflowRetryableError(Lock& lock, const std::shared_ptr<Workflow>& workflow,
                                                const WorkStatus& status) {
    auto& progress = *data_->status;
    if (progress.IsFinal() || progress.GetError() != TransferError::None) {
        return;
    }
    if (workflow != workflow_) {
        Fatal(lock, "Transfer::OnWorkflowRetryableError called on wrong workflow",
              TransferError::InternalError);
        return;
    }
    if (status.result != WorkResult::RetryableError || status.retry) {
        Fatal(lock, "Transfer::OnWorkflowRetryableError called with incorrect status",
              TransferError::InternalError);
        return;
    }
    const auto data = std::dynamic_pointer_cast<TransferStatusData>(status.data);
    if (!data) {
        Fatal(lock, "Transfer::OnWorkflowRetryableError called with invalid data",
              TransferError::InternalError);
        return;
    }
    const TransferError error = data->ToTransferError();
    if (error == TransferError::None) {
        Fatal(lock, "Transfer::OnWorkflowRetryableError called with TransferError::None",
              TransferError::InternalError);
        return;
    }
    progress.SetError(error, true);
    TransferEventRecord event(TransferEventKind::RetryableError);
    event.detail = status.data;
    RaiseEvent(lock, std::move(event));
}

void StandardTransfer::RegisterFile(Lock& lock, const std::string& path) {
    if (!data_->deleteFiles) {
        data_->registeredFiles.insert(path);
        return;
    }
    // The transfer is being canceled with its files: a file created now would
    // otherwise stay behind.
    SharedFileFactory* files = data_->behavior.sharedFileFactory;
    const std::string destination = data_->params.destPath;
    lock.unlock();
    if (files != nullptr) {
        files->Delete(destination, path, true);
    }
}

void StandardTransfer::DeleteRegisteredFiles() {
    std::vector<std::string> paths(data_->registeredFiles.begin(), data_->registeredFiles.end());
    std::sort(paths.begin(), paths.end());
    data_->registeredFiles.clear();
    SharedFileFactory* files = data_->behavior.sharedFileFactory;
    WorkManager* housekeeping = data_->behavior.housekeepingWorkManager;
    if (paths.empty() || files == nullptr || housekeeping == nullptr) {
        return;
    }
    const std::string destination = data_->params.destPath;
    housekeeping->Post([files, destination, paths = std::move(paths)] {
        for (const auto& path : paths) {
            files->Delete(destination, path, true);
        }
    });
}

}  // namespace tvl
