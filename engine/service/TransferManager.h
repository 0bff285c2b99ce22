#pragma once

// The service's registry of transfers: creates transfers under fresh ids,
// finds them by id and, at shutdown, suspends them all. The stored variant
// also finds the transfers of earlier runs in the manifest store.
//
// Threading: every operation may be called from any thread. The manager's
// recursive mutex guards the map and the shut-down flag and is taken before
// any transfer's mutex; Shutdown suspends the transfers outside it.

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "engine/service/ManifestStore.h"
#include "engine/service/TransferManifest.h"

namespace tvl {

class Transfer;
class TransferBehavior;
class TransferParams;

class TransferManager {
  public:
    virtual ~TransferManager() = default;
    TransferManager(const TransferManager&) = delete;
    TransferManager& operator=(const TransferManager&) = delete;

    // Empty once shut down.
    virtual std::shared_ptr<Transfer> Create(const TransferParams& params,
                                             const TransferBehavior& behavior) = 0;
    // Empty when the id names no transfer.
    virtual std::shared_ptr<Transfer> Get(const std::string& transferId,
                                          const TransferBehavior& behavior) = 0;
    virtual void Shutdown() = 0;

  protected:
    TransferManager() = default;
};

class OfflineTransferManager : public TransferManager {
  public:
    OfflineTransferManager();

    std::shared_ptr<Transfer> Create(const TransferParams& params, const TransferBehavior& behavior) override;
    std::shared_ptr<Transfer> Get(const std::string& transferId, const TransferBehavior& behavior) override;
    void Shutdown() override;

  protected:
    std::recursive_mutex mutex_;
    std::unordered_map<std::string, std::shared_ptr<Transfer>> transfers_;
    bool shutDown_ = false;
};

class TempFileTransferManager : public OfflineTransferManager {
  public:
    // The store is not owned and must outlive the manager.
    explicit TempFileTransferManager(ManifestStore<TransferManifest>* store) : store_(store) {}

    // An id not in memory is looked up in the store, even after shutdown; a
    // stored transfer comes back Suspended.
    std::shared_ptr<Transfer> Get(const std::string& transferId, const TransferBehavior& behavior) override;

  private:
    ManifestStore<TransferManifest>* const store_;
};

}  // namespace tvl
