#pragma once

// Queues all its children at once and succeeds when every one has succeeded;
// a child's Failure makes it fail with Error. Thread-safe as every composite.

#include <cstddef>
#include <unordered_set>
#include <vector>

#include "engine/work/CompositeWork.h"

namespace tvl {

class ParallelWork : public CompositeWork {
public:
    explicit ParallelWork(WorkCompleteCallback* callback = nullptr);

    static std::shared_ptr<ParallelWork> Create(WorkCompleteCallback* callback = nullptr) {
        return std::make_shared<ParallelWork>(callback);
    }

    // False, and nothing changes, when the child is already there.
    bool AddWork(const std::shared_ptr<Work>& child);
    virtual void Reserve(std::size_t count);

    void Reset() override;
    void QueueAvailableWork(const std::shared_ptr<Workflow>& workflow) override;

protected:
    void OnSetWorkflow(const std::shared_ptr<Workflow>& workflow) override;
    bool IsActiveChild(const std::shared_ptr<const Work>& child) override;
    CompositeResult OnChildComplete(const std::shared_ptr<const Work>& child, const WorkStatus& status) override;

private:
    std::vector<std::shared_ptr<Work>> children_;
    std::unordered_set<const Work*> pending_;
};

}  // namespace tvl
