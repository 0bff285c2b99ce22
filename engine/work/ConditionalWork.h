#pragma once

// Runs a condition, then the then-work when the condition succeeded or the
// else-work otherwise, and completes with that branch's result. Subclasses set
// the three children once each while building the tree. Thread-safe as every
// composite.

#include "engine/work/CompositeWork.h"

namespace tvl {

class ConditionalWork : public CompositeWork {
public:
    void Reset() override;
    // Throws std::logic_error when one of the three children is missing.
    void QueueAvailableWork(const std::shared_ptr<Workflow>& workflow) override;

protected:
    explicit ConditionalWork(WorkCompleteCallback* callback = nullptr) : CompositeWork(callback) {}

    // A slot already set is left as it is.
    void SetCondition(const std::shared_ptr<Work>& work);
    void SetThenWork(const std::shared_ptr<Work>& work);
    void SetElseWork(const std::shared_ptr<Work>& work);

    void OnSetWorkflow(const std::shared_ptr<Workflow>& workflow) override;
    bool IsActiveChild(const std::shared_ptr<const Work>& child) override;
    CompositeResult OnChildComplete(const std::shared_ptr<const Work>& child, const WorkStatus& status) override;

private:
    std::shared_ptr<Work> condition_;
    std::shared_ptr<Work> thenWork_;
    std::shared_ptr<Work> elseWork_;
    std::shared_ptr<Work> active_;
};

}  // namespace tvl
