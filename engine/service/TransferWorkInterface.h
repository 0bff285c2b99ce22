#pragma once

// What a work sees of its transfer: the parameters and behavior, the acquired
// manifests, the HTTP session, the progress counters, the callbacks through
// which works report back and a way to register the files they create.
//
// Threading: every operation may be called from any worker thread. GetParams
// returns the live parameters without a lock; CopyParams takes the
// transfer's mutex. The callbacks take the transfer's mutex themselves.

#include <memory>
#include <mutex>
#include <string>

namespace tvl {

class GeolocationManifest;
class HttpSession;
class NodeListManifest;
class PackageManifest;
class ChunkMemoryBudget;
class TransferBehavior;
class TransferParams;
class TransferProgressUpdater;
class WorkCompleteCallback;
class WorkflowRetryableErrorCallback;

class TransferWorkInterface {
  public:
    virtual ~TransferWorkInterface() = default;
    TransferWorkInterface(const TransferWorkInterface&) = delete;
    TransferWorkInterface& operator=(const TransferWorkInterface&) = delete;

    virtual TransferParams CopyParams() = 0;
    virtual const TransferParams& GetParams() = 0;
    virtual const TransferBehavior& GetBehavior() = 0;
    virtual std::shared_ptr<PackageManifest> GetPackage() = 0;
    virtual std::shared_ptr<NodeListManifest> GetNodeList() = 0;
    virtual std::shared_ptr<GeolocationManifest> GetGeolocation() = 0;
    virtual std::shared_ptr<TransferProgressUpdater> GetProgressUpdater() = 0;
    virtual std::shared_ptr<HttpSession> GetHttpSession() = 0;
    // Owned by the interface; valid as long as the interface is.
    virtual WorkCompleteCallback* GetWorkCompleteCallback() = 0;
    virtual WorkCompleteCallback* GetPackageAcquireCallback() = 0;
    virtual WorkCompleteCallback* GetNodeListAcquireCallback() = 0;
    virtual WorkCompleteCallback* GetGeolocationCallback() = 0;
    virtual WorkCompleteCallback* GetInitializeCallback() = 0;
    virtual WorkflowRetryableErrorCallback* GetRetryableErrorCallback() = 0;
    // A file the work tree created, relative to the destination.
    virtual void RegisterFile(const std::string& path) = 0;

    // The transfer's budget for chunk views, made on first use from the
    // settings' chunkMemoryBudget; downloads and checks draw on it alike.
    std::shared_ptr<ChunkMemoryBudget> GetChunkMemoryBudget();

  protected:
    TransferWorkInterface() = default;

  private:
    std::mutex budgetMutex_;
    std::shared_ptr<ChunkMemoryBudget> budget_;
    bool budgetMade_ = false;
};

}  // namespace tvl
