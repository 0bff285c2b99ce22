#include "engine/work/SequentialWork.h"

#include "engine/work/LimitedRetrySequentialWork.h"
#include "engine/work/Workflow.h"

namespace tvl {

using Lock = std::lock_guard<std::recursive_mutex>;

SequentialWork::SequentialWork(WorkCompleteCallback* callback, std::size_t capacity) : CompositeWork(callback) {
    children_.reserve(capacity);
}

void SequentialWork::AddWork(const std::shared_ptr<Work>& child) {
    Lock lock(Mutex());
    children_.push_back(child);
    AttachChild(child);
}

void SequentialWork::Reset() {
    Lock lock(Mutex());
    ResetSequence();
}

void SequentialWork::ResetSequence() {
    Lock lock(Mutex());
    CompositeWork::Reset();
    index_ = 0;
    for (const auto& child : children_) {
        child->Reset();
    }
}

void SequentialWork::OnSetWorkflow(const std::shared_ptr<Workflow>& workflow) {
    Lock lock(Mutex());
    for (const auto& child : children_) {
        child->SetWorkflow(workflow);
    }
}

void SequentialWork::QueueAvailableWork(const std::shared_ptr<Workflow>& workflow) {
    Lock lock(Mutex());
    if (!children_.empty()) {
        QueueChild(children_.front(), workflow, 0);
    }
}

bool SequentialWork::IsActiveChild(const std::shared_ptr<const Work>& child) {
    return index_ < children_.size() && children_[index_].get() == child.get();
}

CompositeResult SequentialWork::OnChildComplete(const std::shared_ptr<const Work>&, const WorkStatus& status) {
    if (status.result == WorkResult::Failure || index_ + 1 >= children_.size()) {
        return CompositeResult(status);
    }
    ++index_;
    if (const auto workflow = GetWorkflow()) {
        QueueChild(children_[index_], workflow, 0);
    }
    return CompositeResult();
}

bool LimitedRetrySequentialWork::CanRetry() {
    Lock lock(Mutex());
    if (retries_ >= maxRetries_) {
        return false;
    }
    ++retries_;
    return true;
}

std::uint32_t LimitedRetrySequentialWork::GetRetries() const {
    Lock lock(Mutex());
    return retries_;
}

void LimitedRetrySequentialWork::Reset() {
    Lock lock(Mutex());
    retries_ = 0;
    ResetSequence();
}

void LimitedRetrySequentialWork::Retry() {
    Lock lock(Mutex());
    ResetSequence();
    if (const auto workflow = GetWorkflow()) {
        QueueAvailableWork(workflow);
    }
}

CompositeResult LimitedRetrySequentialWork::OnChildComplete(const std::shared_ptr<const Work>& child,
                                                            const WorkStatus& status) {
    if (status.result == WorkResult::Failure) {
        return CompositeResult(WorkStatus(WorkResult::RetryableError, status.data));
    }
    return SequentialWork::OnChildComplete(child, status);
}

}  // namespace tvl
