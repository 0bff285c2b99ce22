#include "engine/service/StandardTransferWorkInterface.h"

#include "engine/service/ChunkMemoryBudget.h"
#include "engine/service/TransferBehavior.h"

#include <mutex>

#include "engine/service/StandardTransfer.h"
#include "engine/service/StandardTransferData.h"
#include "engine/service/TransferStatusImpl.h"

namespace tvl {

void StandardTransferWorkInterface::InternalCallback::OnWorkComplete(const std::shared_ptr<const Work>& work,
                                                                     const WorkStatus& status) {
    function_(work, status);
}

StandardTransferWorkInterface::StandardTransferWorkInterface(std::weak_ptr<StandardTransfer> transfer,
                                                             std::shared_ptr<StandardTransferData> data)
    : transfer_(std::move(transfer)), data_(std::move(data)) {
    using namespace std::placeholders;
    workComplete_.Bind(
        std::bind(&StandardTransferWorkInterface::Forward, this, &StandardTransfer::OnWorkComplete, _1, _2));
    packageAcquire_.Bind(std::bind(&StandardTransferWorkInterface::Forward, this,
                                   &StandardTransfer::OnPackageAcquire, _1, _2));
    nodeListAcquire_.Bind(std::bind(&StandardTransferWorkInterface::Forward, this,
                                    &StandardTransfer::OnNodeListAcquire, _1, _2));
    geolocation_.Bind(
        std::bind(&StandardTransferWorkInterface::Forward, this, &StandardTransfer::OnGeolocation, _1, _2));
    initialize_.Bind(
        std::bind(&StandardTransferWorkInterface::Forward, this, &StandardTransfer::OnInitialize, _1, _2));
}

TransferParams StandardTransferWorkInterface::CopyParams() {
    auto transfer = transfer_.lock();
    if (!transfer) {
        return data_->params;  // nobody writes the parameters of a destroyed transfer
    }
    std::lock_guard<std::recursive_mutex> lock(transfer->mutex_);
    return data_->params;
}

const TransferParams& StandardTransferWorkInterface::GetParams() {
    return data_->params;
}
const TransferBehavior& StandardTransferWorkInterface::GetBehavior() {
    return data_->behavior;
}

std::shared_ptr<PackageManifest> StandardTransferWorkInterface::GetPackage() {
    auto transfer = transfer_.lock();
    if (!transfer) {
        return data_->package;
    }
    std::lock_guard<std::recursive_mutex> lock(transfer->mutex_);
    return data_->package;
}

std::shared_ptr<NodeListManifest> StandardTransferWorkInterface::GetNodeList() {
    auto transfer = transfer_.lock();
    if (!transfer) {
        return data_->nodeList;
    }
    std::lock_guard<std::recursive_mutex> lock(transfer->mutex_);
    return data_->nodeList;
}

std::shared_ptr<GeolocationManifest> StandardTransferWorkInterface::GetGeolocation() {
    auto transfer = transfer_.lock();
    if (!transfer) {
        return data_->geolocation;
    }
    std::lock_guard<std::recursive_mutex> lock(transfer->mutex_);
    return data_->geolocation;
}

std::shared_ptr<TransferProgressUpdater> StandardTransferWorkInterface::GetProgressUpdater() {
    return data_->status;
}
std::shared_ptr<HttpSession> StandardTransferWorkInterface::GetHttpSession() {
    return data_->httpSession;
}

void StandardTransferWorkInterface::RegisterFile(const std::string& path) {
    auto transfer = transfer_.lock();
    if (!transfer) {
        return;
    }
    std::unique_lock<std::recursive_mutex> lock(transfer->mutex_);
    if (active_) {
        transfer->RegisterFile(lock, path);
    }
}

void StandardTransferWorkInterface::OnWorkflowRetryableError(const std::shared_ptr<Workflow>& workflow,
                                                             const std::shared_ptr<const Work>& /*work*/,
                                                             const WorkStatus& status) {
    auto transfer = transfer_.lock();
    if (!transfer) {
        return;
    }
    std::unique_lock<std::recursive_mutex> lock(transfer->mutex_);
    if (active_) {
        transfer->OnWorkflowRetryableError(lock, workflow, status);
    }
}

void StandardTransferWorkInterface::Forward(Handler handler, const std::shared_ptr<const Work>& work,
                                            const WorkStatus& status) {
    auto transfer = transfer_.lock();
    if (!transfer) {
        return;
    }
    std::unique_lock<std::recursive_mutex> lock(transfer->mutex_);
    if (active_) {
        ((*transfer).*handler)(lock, work, status);
    }
}

}  // namespace tvl

namespace tvl {

std::shared_ptr<ChunkMemoryBudget> TransferWorkInterface::GetChunkMemoryBudget() {
    std::lock_guard<std::mutex> lock(budgetMutex_);
    if (!budgetMade_) {
        budgetMade_ = true;
        budget_ = std::make_shared<ChunkMemoryBudget>(GetBehavior().settings.chunkMemoryBudget);
    }
    return budget_;
}

}  // namespace tvl
