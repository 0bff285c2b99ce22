#pragma once

// A node of a work tree: it can describe itself, be queued, report one
// WorkStatus per run through NotifyComplete, and be reset to run again.
// Trees are owned from the top (the workflow owns the root, composites own
// their children); the back references to parent and workflow are weak.
//
// Threading: the tree is built (SetParent, SetWorkflow, AddCompleteCallback)
// before the work is queued; from then on the path is written only by the
// parent while it queues the work, and NotifyComplete runs on the worker
// thread that ran the work.

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/work/WorkCallbacks.h"
#include "engine/work/WorkDescriptor.h"

namespace tvl {

class CompositeWork;
class Workflow;

using WorkPath = std::vector<std::uint32_t>;

class Work : public WorkDescriptor, public std::enable_shared_from_this<Work> {
public:
    Work(const Work&) = delete;
    Work& operator=(const Work&) = delete;
    ~Work() override = default;

    void Describe(boost::property_tree::ptree& tree) const override;

    // Asked once per failed attempt; implementations that count retries count here.
    virtual bool CanRetry();
    // Back to the never-run state before the work is queued again.
    virtual void Reset() = 0;
    // The work's own description with the status's description under "workStatus".
    virtual void DescribeStatus(const WorkStatus& status, boost::property_tree::ptree& tree) const;
    // Whether the work log keeps this work's completions at its important
    // level; the work's description carries the same answer as "important".
    // Asked before describing, so that the log can skip what it would drop.
    virtual bool IsImportant() const { return false; }
    virtual std::shared_ptr<Work> GetPtr();
    virtual std::shared_ptr<const Work> GetPtr() const;
    virtual void SetParent(const std::shared_ptr<CompositeWork>& parent);
    virtual void SetWorkflow(const std::shared_ptr<Workflow>& workflow);
    // Makes the work's ready leaves known to the workflow.
    virtual void QueueAvailableWork(const std::shared_ptr<Workflow>& workflow) = 0;

    // Not thread-safe: register callbacks while building the tree.
    void AddCompleteCallback(WorkCompleteCallback* callback);
    // Reports the end of one run: to the workflow first, then to the work's own
    // callbacks in order, and to the parent last (which may queue the next child).
    // The workflow may drop the report after its own turn (see Workflow::DropsReport).
    void NotifyComplete(const WorkStatus& status);

    const WorkPath& GetPath() const { return path_; }
    void SetPath(WorkPath path) { path_ = std::move(path); }
    std::shared_ptr<Workflow> GetWorkflow() const { return workflow_.lock(); }
    std::shared_ptr<CompositeWork> GetParent() const { return parent_.lock(); }

protected:
    explicit Work(WorkCompleteCallback* callback = nullptr);

    virtual void OnSetWorkflow(const std::shared_ptr<Workflow>& workflow) = 0;

private:
    friend class StandardWorkflow;

    // The callbacks' and the parent's part of NotifyComplete; a cancelling
    // workflow uses it to tell the root's listeners the end it decided.
    void NotifyListeners(const WorkStatus& status);

    std::weak_ptr<Workflow> workflow_;
    std::vector<WorkCompleteCallback*> completeCallbacks_;
    std::weak_ptr<CompositeWork> parent_;
    WorkPath path_;
};

}  // namespace tvl
