#pragma once

// The work interface of a StandardTransfer over one data record. Its
// callbacks take the transfer's mutex and, while the interface is active,
// hand the report to the transfer's handler; once deactivated (the transfer
// was suspended and rebuilt, or destroyed) every late report of the old work
// tree is dropped. The interface refers to its transfer weakly, so a work
// that outlives the transfer reaches nothing.
//
// Threading: any thread. `active` is read and written under the transfer's
// mutex.

#include <functional>
#include <memory>
#include <mutex>

#include "engine/service/TransferWorkInterface.h"
#include "engine/work/WorkCallbacks.h"
#include "engine/work/Workflow.h"

namespace tvl {

class StandardTransfer;
class StandardTransferData;

class StandardTransferWorkInterface : public TransferWorkInterface, public WorkflowRetryableErrorCallback {
  public:
    // Forwards one kind of completion to the function it holds.
    class InternalCallback : public WorkCompleteCallback {
      public:
        using Function = std::function<void(const std::shared_ptr<const Work>&, const WorkStatus&)>;

        void Bind(Function function) { function_ = std::move(function); }
        // Throws std::bad_function_call when nothing is bound.
        void OnWorkComplete(const std::shared_ptr<const Work>& work, const WorkStatus& status) override;

      private:
        Function function_;
    };

    StandardTransferWorkInterface(std::weak_ptr<StandardTransfer> transfer,
                                  std::shared_ptr<StandardTransferData> data);

    TransferParams CopyParams() override;
    const TransferParams& GetParams() override;
    const TransferBehavior& GetBehavior() override;
    std::shared_ptr<PackageManifest> GetPackage() override;
    std::shared_ptr<NodeListManifest> GetNodeList() override;
    std::shared_ptr<GeolocationManifest> GetGeolocation() override;
    std::shared_ptr<TransferProgressUpdater> GetProgressUpdater() override;
    std::shared_ptr<HttpSession> GetHttpSession() override;
    WorkCompleteCallback* GetWorkCompleteCallback() override { return &workComplete_; }
    WorkCompleteCallback* GetPackageAcquireCallback() override { return &packageAcquire_; }
    WorkCompleteCallback* GetNodeListAcquireCallback() override { return &nodeListAcquire_; }
    WorkCompleteCallback* GetGeolocationCallback() override { return &geolocation_; }
    WorkCompleteCallback* GetInitializeCallback() override { return &initialize_; }
    WorkflowRetryableErrorCallback* GetRetryableErrorCallback() override { return this; }
    void RegisterFile(const std::string& path) override;

    void OnWorkflowRetryableError(const std::shared_ptr<Workflow>& workflow,
                                  const std::shared_ptr<const Work>& work, const WorkStatus& status) override;

    // Called by the transfer with its mutex held.
    void Deactivate() { active_ = false; }
    bool IsActive() const { return active_; }

  private:
    using Handler = void (StandardTransfer::*)(std::unique_lock<std::recursive_mutex>&,
                                               const std::shared_ptr<const Work>&, const WorkStatus&);
    void Forward(Handler handler, const std::shared_ptr<const Work>& work, const WorkStatus& status);

    const std::weak_ptr<StandardTransfer> transfer_;
    const std::shared_ptr<StandardTransferData> data_;
    bool active_ = true;
    InternalCallback workComplete_;
    InternalCallback packageAcquire_;
    InternalCallback nodeListAcquire_;
    InternalCallback geolocation_;
    InternalCallback initialize_;
};

}  // namespace tvl
