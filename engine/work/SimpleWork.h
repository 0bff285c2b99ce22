#pragma once

// A leaf of a work tree: one task run on a worker thread by Run, which
// repeats the task at once while it ends with a retryable error the work
// accepts to retry.
//
// Threading: a simple work is never run by two threads at once (its workflow
// holds it either ready or running). The cancelled flag is set by the
// workflow from another thread and read by Run between attempts; Abort is
// called right after it, from that other thread, and must be thread-safe.

#include <atomic>
#include <cstdint>
#include <vector>

#include "engine/work/Work.h"
#include "engine/work/WorkStatus.h"

namespace tvl {

class SimpleWork : public Work {
public:
    // Runs the task to its result; never throws for the task's sake (an escaped
    // exception becomes Error with WorkExceptionData, and is not retried).
    WorkStatus Run();

    void Reset() override;
    void QueueAvailableWork(const std::shared_ptr<Workflow>& workflow) override;

    // Not thread-safe: register callbacks while building the tree.
    void AddRetryCallback(SimpleWorkRetryCallback* callback);

    void Cancel() { cancelled_.store(true, std::memory_order_release); }
    bool IsCancelled() const { return cancelled_.load(std::memory_order_acquire); }

    std::shared_ptr<SimpleWork> GetSimplePtr();
    std::shared_ptr<const SimpleWork> GetSimplePtr() const;

    // Interrupts a task under way; called from another thread after Cancel.
    virtual void Abort() = 0;

    // True for a task that spends its time waiting on the network rather than
    // on the CPU. A workflow with a network lane runs such works there, so
    // that many requests can be in flight without taking the CPU slots that
    // verification and file work need.
    virtual bool WaitsOnNetwork() const { return false; }

protected:
    explicit SimpleWork(WorkCompleteCallback* callback = nullptr) : Work(callback) {}

    void OnSetWorkflow(const std::shared_ptr<Workflow>& workflow) override;
    virtual WorkStatus ExecuteTask() = 0;

private:
    friend class StandardWorkflow;

    std::atomic<bool> cancelled_{false};
    std::vector<SimpleWorkRetryCallback*> retryCallbacks_;
    // Where the work stands in its workflow's queues; only touched under that
    // workflow's lock (see StandardWorkflow).
    std::uint8_t queueState_ = 0;
    // The workflow's retry count when it last handed the work to its manager;
    // under the same lock.
    std::uint64_t dispatchedInRetry_ = 0;
};

}  // namespace tvl
