#pragma once

// The transfer state machine. Public operations come from the service's
// callers; reports come from the work tree through the work interface. Both
// meet in the state, error and retryable fields of the progress status,
// guarded by the transfer's recursive mutex.
//
// Events: every accepted operation and every report that changes the state
// raises exactly one transfer event through SendEvent, after the mutex has
// been released. That is the one place where a transfer's events leave it:
// the base implementation builds the event the record names and fires it to
// the behavior's log and analytics managers; tests override it to record.
//
// Threading: every public operation may be called from any thread. Reports
// arrive on the work manager's threads. Workflow release and file deletion
// run on the housekeeping work manager, never under the mutex. Lock order:
// a composite work's lock, then this mutex, then the workflow's lock.
//
// Construct only through Create (or a factory): the work interface refers to
// the transfer weakly and needs the transfer's shared pointer.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "engine/service/MonotonicClock.h"
#include "engine/service/Transfer.h"
#include "engine/service/TransferBehavior.h"
#include "engine/service/TransferEventRecord.h"
#include "engine/service/TransferParams.h"
#include "engine/service/TransferState.h"
#include "engine/workflow/TransferError.h"

namespace tvl {

class StandardTransferData;
class StandardTransferWorkInterface;
class TransferWorkflowFactory;
class Work;
class WorkStatus;
class WorkStatusData;
class Workflow;

class StandardTransfer : public Transfer, public std::enable_shared_from_this<StandardTransfer> {
  public:
    using Lock = std::unique_lock<std::recursive_mutex>;

    // Makes a transfer of type T (StandardTransfer or a subclass) from T's
    // constructor arguments and builds its data, interface and workflow.
    template <typename T, typename... Args>
    static std::shared_ptr<T> Create(Args&&... args) {
        auto transfer = std::make_shared<T>(std::forward<Args>(args)...);
        transfer->Construct();
        return transfer;
    }

    // The workflow factory is not owned and must outlive the transfer. The
    // clock drives the progress status's rate and estimate.
    StandardTransfer(const TransferParams& params, const TransferBehavior& behavior,
                     TransferWorkflowFactory* workflowFactory,
                     MillisecondClock clock = MonotonicMilliseconds);
    ~StandardTransfer() override;

    TransferStatus Initialize() override;
    TransferStatus Start(const std::string& destination) override;
    bool CanTransferTo(const std::string& destination) override;
    bool IsSuperset(const std::string& destination, bool ignoreHidden) override;
    bool IsSubset(const std::string& destination, bool confirmSize) override;
    TransferStatus GetStatus() override;
    TransferStatus Cancel(bool deleteFiles) override;
    TransferStatus Pause() override;
    TransferStatus Resume() override;
    TransferStatus Retry() override;
    TransferStatus Suspend() override;
    TransferStatus Restore() override;
    std::shared_ptr<TransferWorkInterface> GetWorkInterface() override;
    std::string GetNodeStatisticsJson() override;

    // The workflow of the current run, empty while there is none.
    std::shared_ptr<Workflow> GetWorkflow();

  protected:
    friend class StandardTransferWorkInterface;

    // All of these are called with the mutex held through `lock`; those that
    // raise an event return with the lock released.
    virtual TransferStatus InitializeLocked(Lock& lock);
    // *accepted tells whether the start was accepted (and its event raised).
    virtual TransferStatus StartLocked(Lock& lock, const std::string& destination, bool* accepted);
    virtual TransferStatus StatusLocked(Lock& lock);
    virtual TransferStatus CancelLocked(Lock& lock, bool deleteFiles);
    virtual TransferStatus PauseLocked(Lock& lock);
    virtual TransferStatus ResumeLocked(Lock& lock);
    virtual TransferStatus RetryLocked(Lock& lock);
    virtual TransferStatus SuspendLocked(Lock& lock);
    virtual TransferStatus RestoreLocked(Lock& lock);
    virtual void OnWorkComplete(Lock& lock, const std::shared_ptr<const Work>& work,
                                const WorkStatus& status);
    virtual void OnPackageAcquire(Lock& lock, const std::shared_ptr<const Work>& work,
                                  const WorkStatus& status);
    virtual void OnNodeListAcquire(Lock& lock, const std::shared_ptr<const Work>& work,
                                   const WorkStatus& status);
    virtual void OnGeolocation(Lock& lock, const std::shared_ptr<const Work>& work, const WorkStatus& status);
    virtual void OnInitialize(Lock& lock, const std::shared_ptr<const Work>& work, const WorkStatus& status);
    virtual void OnWorkflowRetryableError(Lock& lock, const std::shared_ptr<Workflow>& workflow,
                                          const WorkStatus& status);
    virtual void RegisterFile(Lock& lock, const std::string& path);

    // The event seam: called once per raised event, on the thread of the
    // operation or report, after the mutex has been released.
    virtual void SendEvent(const TransferEventRecord& event);

    std::recursive_mutex& Mutex() { return mutex_; }

  private:
    void Construct();
    void Rebuild(const TransferParams& params);
    void CreateWorkflow();
    void ReleaseWorkflow();
    void SetState(TransferState state);
    TransferStatus RaiseEvent(Lock& lock, TransferEventRecord event);
    TransferStatus RaiseEvent(Lock& lock, TransferEventKind kind);
    TransferStatus Fatal(Lock& lock, const std::string& message, TransferError code);
    void DeleteRegisteredFiles();
    bool IsInitializing() const;

    std::recursive_mutex mutex_;
    TransferWorkflowFactory* const workflowFactory_;
    std::shared_ptr<StandardTransferData> data_;
    std::shared_ptr<StandardTransferWorkInterface> interface_;
    std::shared_ptr<Workflow> workflow_;
    const TransferBehavior behavior_;
    const TransferParams initialParams_;
    const MillisecondClock clock_;
    // Transfer time of the progress status at the last periodic event.
    std::uint64_t periodicMarkMs_ = 0;
};

}  // namespace tvl
