#pragma once

// Drives one work tree to its end: keeps the ready simple works, starts them
// on a work manager and follows every completion in the tree. Paused,
// resumed, retried and cancelled from outside; stops by itself on a
// retryable error that no work absorbs, until told to Retry. All operations
// may be called from any thread.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "engine/work/WorkCallbacks.h"

namespace tvl {

class Workflow;

enum class WorkflowState : std::uint8_t {
    NotStarted = 0,
    Running = 1,
    Paused = 2,
    WaitingForRetry = 3,
    PausedWaitingForRetry = 4,
    Complete = 5,
    Cancelled = 6,
};

// Told, without the workflow's lock, about a retryable error nobody absorbed.
class WorkflowRetryableErrorCallback {
public:
    virtual ~WorkflowRetryableErrorCallback() = default;
    virtual void OnWorkflowRetryableError(const std::shared_ptr<Workflow>& workflow,
                                          const std::shared_ptr<const Work>& work, const WorkStatus& status) = 0;
};

class Workflow : public WorkCompleteCallback {
public:
    Workflow(const Workflow&) = delete;
    Workflow& operator=(const Workflow&) = delete;

    // Called for every work of the tree, before the work's own callbacks.
    void OnWorkComplete(const std::shared_ptr<const Work>& work, const WorkStatus& status) override = 0;

    virtual bool Start() = 0;
    virtual bool Pause() = 0;
    virtual bool Resume() = 0;
    // Leaves the waiting-for-retry state.
    virtual bool Retry() = 0;
    // How many times Retry has left the waiting-for-retry state. A work that
    // judges what an earlier work of its branch brought in compares the two
    // counts to tell an outcome of the stopped run from one of the retried run.
    virtual std::uint64_t GetRetryCount() const { return 0; }
    // Works that wait on the network and are ready, waiting for a slot of
    // their lane; 0 for a workflow without such a lane.
    virtual std::size_t GetWaitingNetworkWorks() const { return 0; }
    virtual WorkflowState GetState() const = 0;
    virtual bool IsStarted() const = 0;
    virtual bool IsPaused() const = 0;
    virtual bool IsWaitingForRetry() const = 0;
    virtual bool IsFinished() const = 0;
    // Stops for good and tells the root's complete callbacks the given status.
    // From then on the root's own reports no longer reach them, so a work that
    // could not be interrupted cannot end the root a second time.
    virtual bool Cancel(const WorkStatus& status) = 0;
    // Asked by a work after the workflow has seen its report: true when the
    // report must go no further (the root's, once Cancel has told its end).
    virtual bool DropsReport(const Work& /*work*/) const { return false; }
    // Not owned; register before Start.
    virtual void AddRetryableErrorCallback(WorkflowRetryableErrorCallback* callback) = 0;
    // A simple work of the tree is ready to run.
    virtual void QueueWork(const std::shared_ptr<SimpleWork>& work) = 0;
    // The manager's task for the work has ended (after the work's NotifyComplete).
    virtual void OnSimpleWorkComplete(const std::shared_ptr<SimpleWork>& work, const WorkStatus& status) = 0;

protected:
    Workflow() = default;
};

}  // namespace tvl
