#include "engine/work/ConditionalWork.h"

#include <stdexcept>

#include "engine/work/Workflow.h"

namespace tvl {

using Lock = std::lock_guard<std::recursive_mutex>;

void ConditionalWork::SetCondition(const std::shared_ptr<Work>& work) {
    Lock lock(Mutex());
    if (condition_ || !work) {
        return;
    }
    condition_ = work;
    active_ = work;
    AttachChild(work);
}

void ConditionalWork::SetThenWork(const std::shared_ptr<Work>& work) {
    Lock lock(Mutex());
    if (thenWork_ || !work) {
        return;
    }
    thenWork_ = work;
    AttachChild(work);
}

void ConditionalWork::SetElseWork(const std::shared_ptr<Work>& work) {
    Lock lock(Mutex());
    if (elseWork_ || !work) {
        return;
    }
    elseWork_ = work;
    AttachChild(work);
}

void ConditionalWork::Reset() {
    Lock lock(Mutex());
    CompositeWork::Reset();
    active_ = condition_;
    for (const auto* slot : {&condition_, &thenWork_, &elseWork_}) {
        if (*slot) {
            (*slot)->Reset();
        }
    }
}

void ConditionalWork::OnSetWorkflow(const std::shared_ptr<Workflow>& workflow) {
    Lock lock(Mutex());
    for (const auto* slot : {&condition_, &elseWork_, &thenWork_}) {
        if (*slot) {
            (*slot)->SetWorkflow(workflow);
        }
    }
}

void ConditionalWork::QueueAvailableWork(const std::shared_ptr<Workflow>& workflow) {
    Lock lock(Mutex());
    if (!condition_ || !thenWork_ || !elseWork_) {
        throw std::logic_error("ConditionalWork::QueueAvailableWork called with incomplete children");
    }
    QueueChild(condition_, workflow, 0);
}

bool ConditionalWork::IsActiveChild(const std::shared_ptr<const Work>& child) {
    return active_ && active_.get() == child.get();
}

CompositeResult ConditionalWork::OnChildComplete(const std::shared_ptr<const Work>& child,
                                                 const WorkStatus& status) {
    if (child.get() != condition_.get()) {
        return CompositeResult(status);
    }
    active_ = status.result == WorkResult::Success ? thenWork_ : elseWork_;
    if (const auto workflow = GetWorkflow()) {
        QueueChild(active_, workflow, 0);
    }
    return CompositeResult();
}

}  // namespace tvl
