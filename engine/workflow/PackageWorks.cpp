#include "engine/workflow/PackageWorks.h"

#include <boost/property_tree/ptree.hpp>

#include "engine/service/TransferBehavior.h"
#include "engine/service/TransferWorkInterface.h"
#include "engine/work/DeferredWork.h"
#include "engine/workflow/AcquisitionWorks.h"
#include "engine/workflow/AllowExecuteWork.h"
#include "engine/workflow/FileWorks.h"
#include "engine/workflow/TransferStatusData.h"

namespace tvl {
namespace {

void DescribePackageWork(const char* name, bool important, const TransferWork& work,
                         boost::property_tree::ptree& tree) {
    tree.put("name", name);
    if (important) {
        tree.put("important", true);
    }
    work.DescribeTransfer(tree);
}

std::shared_ptr<DeferredWork> NewDeferredWork(TransferWorkInterface& interface) {
    return DeferredWork::Create(LogCompleteCallback(interface.GetBehavior()));
}

// Builds a file-level tree and gives it to the deferred work, once.
template <typename FileTree>
WorkStatus ConstructInto(const std::shared_ptr<TransferWorkInterface>& interface, DeferredWork& deferred,
                         const char* alreadyAssigned) {
    std::shared_ptr<Work> files;
    try {
        files = FileTree::Create(interface);
    } catch (...) {
        return WorkStatus(WorkResult::Error, CreateTransferExceptionData(std::current_exception(),
                                                                         TransferError::InternalError));
    }
    if (deferred.SetWork(files)) {
        return WorkStatus(WorkResult::Success);
    }
    return TransferErrorStatus(TransferError::InternalError, alreadyAssigned);
}

}  // namespace

// TransferPackageWork

std::shared_ptr<TransferPackageWork> TransferPackageWork::Create(
    std::shared_ptr<TransferWorkInterface> interface) {
    auto root = std::make_shared<TransferPackageWork>(Token(), interface);
    auto deferred = NewDeferredWork(*interface);
    root->AddWork(InitializeTransferWork::Create(interface, deferred));
    root->AddWork(deferred);
    root->AddWork(AllowExecuteWork::Create(interface));
    return root;
}

TransferPackageWork::TransferPackageWork(Token, std::shared_ptr<TransferWorkInterface> interface)
    : TransferWork(std::move(interface)), SequentialWork(interface_->GetWorkCompleteCallback(), 3) {
    AddLogCompleteCallback(*this, interface_->GetBehavior());
}

void TransferPackageWork::Describe(boost::property_tree::ptree& tree) const {
    DescribePackageWork("TransferPackageWork", IsImportant(), *this, tree);
}

// VerifyTransferWork

std::shared_ptr<VerifyTransferWork> VerifyTransferWork::Create(
    std::shared_ptr<TransferWorkInterface> interface) {
    auto root = std::make_shared<VerifyTransferWork>(Token(), interface);
    auto deferred = NewDeferredWork(*interface);
    root->AddWork(InitializeVerifyWork::Create(interface, deferred));
    root->AddWork(deferred);
    return root;
}

VerifyTransferWork::VerifyTransferWork(Token, std::shared_ptr<TransferWorkInterface> interface)
    : TransferWork(std::move(interface)), SequentialWork(interface_->GetWorkCompleteCallback(), 2) {
    AddLogCompleteCallback(*this, interface_->GetBehavior());
}

void VerifyTransferWork::Describe(boost::property_tree::ptree& tree) const {
    DescribePackageWork("VerifyTransferWork", IsImportant(), *this, tree);
}

// The two initialization sequences

namespace {

template <typename Sequence, typename Construct>
void AddInitializationSteps(Sequence& sequence, const std::shared_ptr<TransferWorkInterface>& interface,
                            const std::shared_ptr<DeferredWork>& deferred) {
    const TransferSettings& settings = interface->GetBehavior().settings;
    sequence.AddWork(GetManifestsWork::Create(interface));
    sequence.AddWork(GetGeolocationWork::Create(interface, settings.geolocationRetries));
    sequence.AddWork(GeofenceWork::Create(interface));
    sequence.AddWork(Construct::Create(interface, deferred));
}

}  // namespace

std::shared_ptr<InitializeTransferWork> InitializeTransferWork::Create(
    std::shared_ptr<TransferWorkInterface> interface, std::shared_ptr<DeferredWork> deferred) {
    auto work = std::make_shared<InitializeTransferWork>(Token(), interface);
    AddInitializationSteps<InitializeTransferWork, ConstructTransferFromPackageWork>(*work, interface,
                                                                                     deferred);
    return work;
}

InitializeTransferWork::InitializeTransferWork(Token, std::shared_ptr<TransferWorkInterface> interface)
    : TransferWork(std::move(interface)), SequentialWork(interface_->GetInitializeCallback(), 4) {
    AddLogCompleteCallback(*this, interface_->GetBehavior());
}

void InitializeTransferWork::Describe(boost::property_tree::ptree& tree) const {
    DescribePackageWork("InitializeTransferWork", IsImportant(), *this, tree);
}

std::shared_ptr<InitializeVerifyWork> InitializeVerifyWork::Create(
    std::shared_ptr<TransferWorkInterface> interface, std::shared_ptr<DeferredWork> deferred) {
    auto work = std::make_shared<InitializeVerifyWork>(Token(), interface);
    AddInitializationSteps<InitializeVerifyWork, ConstructVerifyFromPackageWork>(*work, interface, deferred);
    return work;
}

InitializeVerifyWork::InitializeVerifyWork(Token, std::shared_ptr<TransferWorkInterface> interface)
    : TransferWork(std::move(interface)), SequentialWork(interface_->GetInitializeCallback(), 4) {
    AddLogCompleteCallback(*this, interface_->GetBehavior());
}

void InitializeVerifyWork::Describe(boost::property_tree::ptree& tree) const {
    DescribePackageWork("InitializeVerifyWork", IsImportant(), *this, tree);
}

// GetManifestsWork

std::shared_ptr<GetManifestsWork> GetManifestsWork::Create(std::shared_ptr<TransferWorkInterface> interface) {
    auto work = std::make_shared<GetManifestsWork>(Token(), interface);
    const std::uint32_t retries = interface->GetBehavior().settings.manifestRetries;
    work->AddWork(GetPackageManifestWork::Create(interface, retries));
    work->AddWork(GetNodeListWork::Create(interface, retries));
    return work;
}

GetManifestsWork::GetManifestsWork(Token, std::shared_ptr<TransferWorkInterface> interface)
    : TransferWork(std::move(interface)), ParallelWork(LogCompleteCallback(interface_->GetBehavior())) {}

void GetManifestsWork::Describe(boost::property_tree::ptree& tree) const {
    DescribePackageWork("GetManifestsWork", IsImportant(), *this, tree);
}

// The construct works

std::shared_ptr<ConstructTransferFromPackageWork> ConstructTransferFromPackageWork::Create(
    std::shared_ptr<TransferWorkInterface> interface, std::shared_ptr<DeferredWork> deferred) {
    return std::make_shared<ConstructTransferFromPackageWork>(Token(), std::move(interface),
                                                              std::move(deferred));
}

ConstructTransferFromPackageWork::ConstructTransferFromPackageWork(
    Token, std::shared_ptr<TransferWorkInterface> interface, std::shared_ptr<DeferredWork> deferred)
    : TransferWork(std::move(interface)),
      SimpleWork(LogCompleteCallback(interface_->GetBehavior())),
      deferred_(std::move(deferred)) {}

void ConstructTransferFromPackageWork::Describe(boost::property_tree::ptree& tree) const {
    DescribePackageWork("ConstructTransferFromPackageWork", IsImportant(), *this, tree);
}

WorkStatus ConstructTransferFromPackageWork::ExecuteTask() {
    return ConstructInto<TransferMultipleFilesWork>(
        interface_, *deferred_,
        "ConstructTransferFromPackageWork::ExecuteTask failed; DeferredWork already assigned");
}

std::shared_ptr<ConstructVerifyFromPackageWork> ConstructVerifyFromPackageWork::Create(
    std::shared_ptr<TransferWorkInterface> interface, std::shared_ptr<DeferredWork> deferred) {
    return std::make_shared<ConstructVerifyFromPackageWork>(Token(), std::move(interface),
                                                            std::move(deferred));
}

ConstructVerifyFromPackageWork::ConstructVerifyFromPackageWork(
    Token, std::shared_ptr<TransferWorkInterface> interface, std::shared_ptr<DeferredWork> deferred)
    : TransferWork(std::move(interface)),
      SimpleWork(LogCompleteCallback(interface_->GetBehavior())),
      deferred_(std::move(deferred)) {}

void ConstructVerifyFromPackageWork::Describe(boost::property_tree::ptree& tree) const {
    DescribePackageWork("ConstructVerifyFromPackageWork", IsImportant(), *this, tree);
}

WorkStatus ConstructVerifyFromPackageWork::ExecuteTask() {
    return ConstructInto<LazyParallelVerifyMultipleFilesWork>(
        interface_, *deferred_,
        "ConstructVerifyFromPackageWork::ExecuteTask failed; DeferredWork already assigned");
}

}  // namespace tvl
