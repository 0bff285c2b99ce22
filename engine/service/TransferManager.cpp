#include "engine/service/TransferManager.h"

#include <vector>

#include "engine/service/ManifestStoreImpl.h"
#include "engine/service/Transfer.h"
#include "engine/service/TransferBehavior.h"
#include "engine/service/TransferFactory.h"
#include "engine/service/TransferParams.h"

namespace tvl {

OfflineTransferManager::OfflineTransferManager() : transfers_(11) {
    transfers_.max_load_factor(1.0f);
}

std::shared_ptr<Transfer> OfflineTransferManager::Create(const TransferParams& params,
                                                         const TransferBehavior& behavior) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (shutDown_ || behavior.transferFactory == nullptr) {
        return nullptr;
    }
    for (;;) {
        TransferParams copy = params;
        copy.transferId = NewTransferId();
        if (transfers_.count(copy.transferId) != 0) {
            continue;
        }
        auto transfer = behavior.transferFactory->Create(copy, behavior);
        if (!transfer) {
            return nullptr;
        }
        transfers_.emplace(copy.transferId, transfer);
        return transfer;
    }
}

std::shared_ptr<Transfer> OfflineTransferManager::Get(const std::string& transferId,
                                                      const TransferBehavior& /*behavior*/) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (shutDown_) {
        return nullptr;
    }
    const auto found = transfers_.find(transferId);
    return found != transfers_.end() ? found->second : nullptr;
}

void OfflineTransferManager::Shutdown() {
    std::vector<std::shared_ptr<Transfer>> transfers;
    {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        shutDown_ = true;
        for (const auto& entry : transfers_) {
            transfers.push_back(entry.second);
        }
    }
    for (const auto& transfer : transfers) {
        transfer->Suspend();
    }
}

std::shared_ptr<Transfer> TempFileTransferManager::Get(const std::string& transferId,
                                                       const TransferBehavior& behavior) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    const auto found = transfers_.find(transferId);
    if (found != transfers_.end()) {
        return found->second;
    }
    // The id becomes a file name: anything but a well-formed id names no file.
    if (store_ == nullptr || behavior.transferFactory == nullptr || !IsWellFormedTransferId(transferId)) {
        return nullptr;
    }
    TransferManifest manifest;
    if (!store_->Load(transferId, manifest) || manifest.params.transferId != transferId) {
        return nullptr;
    }
    manifest.params.suspended = true;
    std::shared_ptr<Transfer> transfer;
    try {
        transfer = behavior.transferFactory->Create(manifest.params, behavior);
    } catch (...) {
        return nullptr;
    }
    if (transfer) {
        transfers_.emplace(transferId, transfer);
    }
    return transfer;
}

}  // namespace tvl
