#include "engine/work/LazyParallelWork.h"

#include <stdexcept>
#include <vector>

#include "engine/work/Workflow.h"

namespace tvl {

using Lock = std::lock_guard<std::recursive_mutex>;

LazyParallelWork::LazyParallelWork(WorkCompleteCallback* callback, std::uint32_t capacity)
    : CompositeWork(callback) {
    LazyParallelWork::Reserve(capacity);
    capacity_ = capacity;
}

void LazyParallelWork::Reserve(std::uint32_t capacity) {
    if (capacity == 0) {
        throw std::invalid_argument("LazyParallelWork::Reserve called with zero capacity");
    }
    Lock lock(Mutex());
    active_.reserve(capacity);
}

void LazyParallelWork::Reset() {
    Lock lock(Mutex());
    CompositeWork::Reset();
    next_ = 0;
    // Children of an earlier run must not keep a new run from completing.
    active_.clear();
}

void LazyParallelWork::OnSetWorkflow(const std::shared_ptr<Workflow>& workflow) {
    Lock lock(Mutex());
    for (const auto& entry : active_) {
        entry.second->SetWorkflow(workflow);
    }
}

void LazyParallelWork::QueueAvailableWork(const std::shared_ptr<Workflow>& workflow) {
    Lock lock(Mutex());
    const std::uint32_t first = next_;
    std::vector<std::shared_ptr<Work>> batch;
    while (next_ < capacity_) {
        std::shared_ptr<Work> work = GetNextWork();
        if (!work) {
            break;
        }
        if (active_.emplace(work.get(), work).second) {
            AttachChild(work);
            batch.push_back(std::move(work));
        }
        ++next_;
    }
    for (std::size_t c = 0; c < batch.size(); ++c) {
        QueueChild(batch[c], workflow, first + static_cast<std::uint32_t>(c));
    }
}

std::vector<std::shared_ptr<Work>> LazyParallelWork::GetActiveChildren() const {
    std::vector<std::shared_ptr<Work>> children;
    children.reserve(active_.size());
    for (const auto& entry : active_) {
        children.push_back(entry.second);
    }
    return children;
}

bool LazyParallelWork::IsActiveChild(const std::shared_ptr<const Work>& child) {
    return active_.count(child.get()) != 0;
}

CompositeResult LazyParallelWork::OnChildComplete(const std::shared_ptr<const Work>& child,
                                                  const WorkStatus& status) {
    if (status.result == WorkResult::Failure) {
        return CompositeResult(WorkStatus(WorkResult::Error, status.data));
    }
    active_.erase(child.get());
    const auto workflow = GetWorkflow();
    while (active_.size() < capacity_) {
        std::shared_ptr<Work> work = GetNextWork();
        if (!work) {
            break;
        }
        const std::uint32_t number = next_++;
        if (active_.emplace(work.get(), work).second) {
            AttachChild(work);
            if (workflow) {
                QueueChild(work, workflow, number);
            }
        }
    }
    if (active_.empty()) {
        return CompositeResult(WorkStatus(WorkResult::Success));
    }
    return CompositeResult();
}

}  // namespace tvl
