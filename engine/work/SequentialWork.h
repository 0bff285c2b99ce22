#pragma once

// Runs its children one after another and completes with the first Failure or
// with the last child's result. Thread-safe as every composite.

#include <cstddef>
#include <vector>

#include "engine/work/CompositeWork.h"

namespace tvl {

class SequentialWork : public CompositeWork {
public:
    explicit SequentialWork(WorkCompleteCallback* callback = nullptr, std::size_t capacity = 0);

    static std::shared_ptr<SequentialWork> Create(WorkCompleteCallback* callback = nullptr,
                                                  std::size_t capacity = 0) {
        return std::make_shared<SequentialWork>(callback, capacity);
    }

    // No check for duplicates; add children while building the tree.
    void AddWork(const std::shared_ptr<Work>& child);

    void Reset() override;
    void QueueAvailableWork(const std::shared_ptr<Workflow>& workflow) override;

protected:
    void OnSetWorkflow(const std::shared_ptr<Workflow>& workflow) override;
    bool IsActiveChild(const std::shared_ptr<const Work>& child) override;
    CompositeResult OnChildComplete(const std::shared_ptr<const Work>& child, const WorkStatus& status) override;

    // The children-and-index part of Reset, without a subclass's own state.
    void ResetSequence();

private:
    std::vector<std::shared_ptr<Work>> children_;
    std::size_t index_ = 0;
};

}  // namespace tvl
