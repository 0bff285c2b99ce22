#include "engine/service/StoredTransfer.h"

#include "engine/service/TransferState.h"

namespace tvl {

StoredTransfer::StoredTransfer(const TransferParams& params, const TransferBehavior& behavior,
                               TransferWorkflowFactory* workflowFactory,
                               ManifestStore<TransferManifest>* store, MillisecondClock clock)
    : StandardTransfer(params, behavior, workflowFactory, std::move(clock)), store_(store) {}

TransferStatus StoredTransfer::Start(const std::string& destination) {
    bool accepted = false;
    TransferStatus status;
    {
        Lock lock(Mutex());
        status = StartLocked(lock, destination, &accepted);
    }
    if (accepted && store_ != nullptr) {
        TransferManifest manifest;
        manifest.params.transferId = status.transferId;
        manifest.params.partnerId = status.partnerId;
        manifest.params.packageId = status.packageId;
        manifest.params.versionId = status.versionId;
        manifest.params.destPath = status.destPath;
        // A failed save leaves the transfer running, only not restorable.
        store_->Save(status.transferId, manifest);
    }
    return status;
}

TransferStatus StoredTransfer::Cancel(bool deleteFiles) {
    const TransferStatus status = StandardTransfer::Cancel(deleteFiles);
    const bool keep =
        status.state == static_cast<std::uint8_t>(TransferState::Suspended) && status.error == 0;
    if (!keep && store_ != nullptr) {
        store_->Remove(status.transferId);
    }
    return status;
}

}  // namespace tvl
