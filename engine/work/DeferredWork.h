#pragma once

// A placeholder whose single child is supplied later, typically by a work
// that runs before it (SetWork from a worker thread). Queued without a child,
// it runs a NoOpWork instead and succeeds. Thread-safe: the child pointer has
// its own mutex, so SetWork never waits for the composite's lock.

#include <mutex>

#include "engine/work/CompositeWork.h"

namespace tvl {

class DeferredWork : public CompositeWork {
public:
    explicit DeferredWork(WorkCompleteCallback* callback = nullptr) : CompositeWork(callback) {}

    static std::shared_ptr<DeferredWork> Create(WorkCompleteCallback* callback = nullptr) {
        return std::make_shared<DeferredWork>(callback);
    }

    // Supplies the child (a NoOpWork for null); false, and nothing changes, when one is set.
    bool SetWork(const std::shared_ptr<Work>& work);
    std::shared_ptr<Work> GetWork() const;

    void Describe(boost::property_tree::ptree& tree) const override;
    void Reset() override;
    void QueueAvailableWork(const std::shared_ptr<Workflow>& workflow) override;

protected:
    void OnSetWorkflow(const std::shared_ptr<Workflow>& workflow) override;
    bool IsActiveChild(const std::shared_ptr<const Work>& child) override;
    CompositeResult OnChildComplete(const std::shared_ptr<const Work>& child, const WorkStatus& status) override;

private:
    mutable std::mutex childMutex_;
    std::shared_ptr<Work> child_;
};

}  // namespace tvl
