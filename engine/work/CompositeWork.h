#pragma once

// An inner node of a work tree. It never runs on a worker thread itself: it
// attaches children, queues those that may start, listens to their
// completions and decides when it is complete and with which status.
//
// Threading: children complete on several worker threads at once; every
// completion and all child bookkeeping of subclasses are serialised by the
// composite's recursive lock. The lock may be held while queuing children
// (which takes the workflow's lock), never while the composite reports its
// own completion upward. The lock order is therefore parent before child
// (queuing goes down the tree), any composite before the workflow, and never
// a parent's lock while a child's is held.

#include <mutex>

#include "engine/work/Work.h"
#include "engine/work/WorkStatus.h"

namespace tvl {

// A composite's verdict: complete unless the status asks for a rerun.
struct CompositeResult {
    CompositeResult() = default;
    explicit CompositeResult(WorkStatus status)
        : complete(status.result != WorkResult::Cancelled && status.result != WorkResult::RetryableError),
          status(std::move(status)) {}

    bool complete = false;
    WorkStatus status;
};

class CompositeWork : public Work, public WorkCompleteCallback {
public:
    void Reset() override;

    // Listens to the children; see the lock order above.
    void OnWorkComplete(const std::shared_ptr<const Work>& child, const WorkStatus& status) override;

    virtual void AttachChild(const std::shared_ptr<Work>& child);
    // Runs the composite again from its start.
    virtual void Retry();

    std::shared_ptr<CompositeWork> GetCompositePtr();
    bool IsComplete() const;

protected:
    explicit CompositeWork(WorkCompleteCallback* callback = nullptr) : Work(callback) {}

    // Both are called with the lock held.
    virtual bool IsActiveChild(const std::shared_ptr<const Work>& child) = 0;
    // For a child that ended with Success or Failure; may queue further children.
    virtual CompositeResult OnChildComplete(const std::shared_ptr<const Work>& child,
                                            const WorkStatus& status) = 0;

    // Gives the child its path (this work's path and number) and queues it.
    void QueueChild(const std::shared_ptr<Work>& child, const std::shared_ptr<Workflow>& workflow,
                    std::uint32_t number);

    std::recursive_mutex& Mutex() const { return mutex_; }

private:
    mutable std::recursive_mutex mutex_;
    CompositeResult completion_;
};

}  // namespace tvl
