#include "engine/work/CompositeWork.h"

#include "engine/work/WorkStatusData.h"
#include "engine/work/Workflow.h"

namespace tvl {

using Lock = std::unique_lock<std::recursive_mutex>;

void CompositeWork::Reset() {
    Lock lock(mutex_);
    completion_ = CompositeResult();
}

bool CompositeWork::IsComplete() const {
    Lock lock(mutex_);
    return completion_.complete;
}

std::shared_ptr<CompositeWork> CompositeWork::GetCompositePtr() {
    return std::static_pointer_cast<CompositeWork>(shared_from_this());
}

void CompositeWork::AttachChild(const std::shared_ptr<Work>& child) {
    child->SetParent(GetCompositePtr());
    if (const auto workflow = GetWorkflow()) {
        child->SetWorkflow(workflow);
    }
}

void CompositeWork::Retry() {
    Lock lock(mutex_);
    Reset();
    if (const auto workflow = GetWorkflow()) {
        QueueAvailableWork(workflow);
    }
}

void CompositeWork::QueueChild(const std::shared_ptr<Work>& child, const std::shared_ptr<Workflow>& workflow,
                               std::uint32_t number) {
    const WorkPath& own = GetPath();
    WorkPath path;
    path.reserve(own.size() + 1);
    path.assign(own.begin(), own.end());
    path.push_back(number);
    child->SetPath(std::move(path));
    child->QueueAvailableWork(workflow);
}

void CompositeWork::OnWorkComplete(const std::shared_ptr<const Work>& child, const WorkStatus& status) {
    Lock lock(mutex_);
    if (completion_.complete) {
        return;
    }
    if (!IsActiveChild(child)) {
        completion_ = CompositeResult(WorkStatus(
            WorkResult::Error,
            std::make_shared<WorkErrorData>("Invalid child progress for CompositeWork::OnWorkComplete")));
    } else if (status.result == WorkResult::Cancelled || status.result == WorkResult::RetryableError) {
        // The workflow queues the child again.
        return;
    } else if (status.result == WorkResult::Error) {
        completion_ = CompositeResult(status);
    } else {
        completion_ = OnChildComplete(child, status);
    }

    if (completion_.complete) {
        if (completion_.status.result == WorkResult::Success) {
            completion_.status.data.reset();
        }
        const WorkStatus outcome = completion_.status;
        // Reported without the lock: the parent takes its own, and the lock
        // order never allows a parent's lock under a child's.
        lock.unlock();
        NotifyComplete(outcome);
        return;
    }

    if (completion_.status.result == WorkResult::RetryableError) {
        const bool retry = CanRetry();
        completion_.status.retry = retry;
        if (!retry) {
            // Retries used up: report so the workflow stops and waits, and be
            // queued again already for when it is told to retry.
            const WorkStatus outcome = completion_.status;
            lock.unlock();
            NotifyComplete(outcome);
            lock.lock();
        }
        Retry();
    }
}

}  // namespace tvl
