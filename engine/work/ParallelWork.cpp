#include "engine/work/ParallelWork.h"

#include "engine/work/Workflow.h"

namespace tvl {

using Lock = std::lock_guard<std::recursive_mutex>;

ParallelWork::ParallelWork(WorkCompleteCallback* callback) : CompositeWork(callback) { ParallelWork::Reserve(2); }

void ParallelWork::Reserve(std::size_t count) {
    Lock lock(Mutex());
    children_.reserve(count);
    pending_.reserve(count);
}

bool ParallelWork::AddWork(const std::shared_ptr<Work>& child) {
    Lock lock(Mutex());
    if (!pending_.insert(child.get()).second) {
        return false;
    }
    children_.push_back(child);
    AttachChild(child);
    return true;
}

void ParallelWork::Reset() {
    Lock lock(Mutex());
    CompositeWork::Reset();
    pending_.clear();
    for (const auto& child : children_) {
        pending_.insert(child.get());
        child->Reset();
    }
}

void ParallelWork::OnSetWorkflow(const std::shared_ptr<Workflow>& workflow) {
    Lock lock(Mutex());
    for (const auto& child : children_) {
        child->SetWorkflow(workflow);
    }
}

void ParallelWork::QueueAvailableWork(const std::shared_ptr<Workflow>& workflow) {
    Lock lock(Mutex());
    for (std::size_t i = 0; i < children_.size(); ++i) {
        QueueChild(children_[i], workflow, static_cast<std::uint32_t>(i));
    }
}

bool ParallelWork::IsActiveChild(const std::shared_ptr<const Work>& child) {
    return pending_.count(child.get()) != 0;
}

CompositeResult ParallelWork::OnChildComplete(const std::shared_ptr<const Work>& child, const WorkStatus& status) {
    if (status.result == WorkResult::Failure) {
        return CompositeResult(WorkStatus(WorkResult::Error, status.data));
    }
    pending_.erase(child.get());
    if (pending_.empty()) {
        return CompositeResult(WorkStatus(WorkResult::Success));
    }
    return CompositeResult();
}

}  // namespace tvl
