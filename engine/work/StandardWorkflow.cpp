#include "engine/work/StandardWorkflow.h"

#include <algorithm>
#include <stdexcept>

#include "engine/work/SimpleWork.h"
#include "engine/work/WorkManager.h"
#include "engine/work/WorkStatus.h"

namespace tvl {

namespace {

using Lock = std::unique_lock<std::recursive_mutex>;

// Where a simple work stands in its workflow. A parent may queue a child
// again while the child's task is still reporting (a retried sequence queues
// its first child from that child's own completion); such a work is marked
// and pushed when its task has reported, so it is never ready and running at
// once, never run by two threads, and never counted twice against the limit.
enum QueueState : std::uint8_t {
    kIdle = 0,
    kReady = 1,
    kRunning = 2,
    kRunningQueuedAgain = 3,
};

}  // namespace

std::shared_ptr<StandardWorkflow> StandardWorkflow::Create(std::shared_ptr<Work> root, WorkManager* manager,
                                                           std::uint32_t maxRunning) {
    return Create(std::move(root), manager, maxRunning, nullptr, 0);
}

std::shared_ptr<StandardWorkflow> StandardWorkflow::Create(std::shared_ptr<Work> root, WorkManager* manager,
                                                           std::uint32_t maxRunning, WorkManager* networkManager,
                                                           std::uint32_t networkSlots) {
    if (!root || manager == nullptr) {
        throw std::invalid_argument("StandardWorkflow::Create called without a root or a work manager");
    }
    auto workflow =
        std::make_shared<StandardWorkflow>(Token(), root, manager, maxRunning, networkManager, networkSlots);
    root->SetWorkflow(workflow);
    return workflow;
}

StandardWorkflow::StandardWorkflow(Token, std::shared_ptr<Work> root, WorkManager* manager,
                                   std::uint32_t maxRunning, WorkManager* networkManager,
                                   std::uint32_t networkSlots)
    : root_(std::move(root)), maxRunning_(maxRunning) {
    cpuLane_.manager = manager;
    cpuLane_.limit = maxRunning;
    if (networkManager != nullptr) {
        networkLane_.manager = networkManager;
        networkLane_.limit = std::max<std::uint32_t>(networkSlots, 1);
    }
}

StandardWorkflow::~StandardWorkflow() = default;

bool StandardWorkflow::LaterFirst::operator()(const ReadyEntry& a, const ReadyEntry& b) const {
    const WorkPath& pa = a.work->GetPath();
    const WorkPath& pb = b.work->GetPath();
    if (pa != pb) {
        return pb < pa;
    }
    return b.order < a.order;
}

bool StandardWorkflow::IsFinishedState(WorkflowState state) const {
    return state == WorkflowState::Complete || state == WorkflowState::Cancelled;
}

WorkflowState StandardWorkflow::GetState() const { return state_.load(std::memory_order_acquire); }

bool StandardWorkflow::IsStarted() const { return GetState() != WorkflowState::NotStarted; }

bool StandardWorkflow::IsPaused() const {
    const WorkflowState state = GetState();
    return state == WorkflowState::Paused || state == WorkflowState::PausedWaitingForRetry;
}

bool StandardWorkflow::IsWaitingForRetry() const {
    const WorkflowState state = GetState();
    return state == WorkflowState::WaitingForRetry || state == WorkflowState::PausedWaitingForRetry;
}

bool StandardWorkflow::IsFinished() const { return IsFinishedState(GetState()); }

std::size_t StandardWorkflow::GetRunningCount() const {
    Lock lock(mutex_);
    return running_.size();
}

std::size_t StandardWorkflow::GetReadyCount() const {
    Lock lock(mutex_);
    return cpuLane_.ready.size() + networkLane_.ready.size();
}

std::size_t StandardWorkflow::GetNetworkRunningCount() const {
    Lock lock(mutex_);
    return networkLane_.running;
}

std::size_t StandardWorkflow::GetWaitingNetworkWorks() const {
    Lock lock(mutex_);
    return networkLane_.manager != nullptr ? networkLane_.ready.size() : 0;
}

StandardWorkflow::Lane& StandardWorkflow::LaneOf(const SimpleWork& work) {
    return networkLane_.manager != nullptr && work.WaitsOnNetwork() ? networkLane_ : cpuLane_;
}

void StandardWorkflow::AddRetryableErrorCallback(WorkflowRetryableErrorCallback* callback) {
    Lock lock(mutex_);
    retryableErrorCallbacks_.push_back(callback);
}

bool StandardWorkflow::Start() {
    {
        Lock lock(mutex_);
        if (GetState() != WorkflowState::NotStarted || starting_) {
            return false;
        }
        starting_ = true;
    }
    // Without the lock: the root's composites take their own locks and then
    // this one, never the other way round.
    try {
        root_->QueueAvailableWork(shared_from_this());
    } catch (...) {
        Lock lock(mutex_);
        starting_ = false;
        for (Lane* lane : {&cpuLane_, &networkLane_}) {
            while (!lane->ready.empty()) {
                lane->ready.top().work->queueState_ = kIdle;
                lane->ready.pop();
            }
        }
        throw;
    }
    Lock lock(mutex_);
    starting_ = false;
    if (GetState() == WorkflowState::NotStarted) {
        state_.store(WorkflowState::Running, std::memory_order_release);
        Dispatch();
    }
    return true;
}

bool StandardWorkflow::Pause() {
    Lock lock(mutex_);
    switch (GetState()) {
        case WorkflowState::Running:
            state_.store(WorkflowState::Paused, std::memory_order_release);
            break;
        case WorkflowState::WaitingForRetry:
            state_.store(WorkflowState::PausedWaitingForRetry, std::memory_order_release);
            break;
        default:
            return false;
    }
    InterruptRunning();
    return true;
}

bool StandardWorkflow::Resume() {
    Lock lock(mutex_);
    switch (GetState()) {
        case WorkflowState::Paused:
            state_.store(WorkflowState::Running, std::memory_order_release);
            break;
        case WorkflowState::PausedWaitingForRetry:
            state_.store(WorkflowState::WaitingForRetry, std::memory_order_release);
            break;
        default:
            return false;
    }
    Dispatch();
    return true;
}

bool StandardWorkflow::Retry() {
    Lock lock(mutex_);
    switch (GetState()) {
        case WorkflowState::WaitingForRetry:
            state_.store(WorkflowState::Running, std::memory_order_release);
            break;
        case WorkflowState::PausedWaitingForRetry:
            state_.store(WorkflowState::Paused, std::memory_order_release);
            break;
        default:
            return false;
    }
    retries_.fetch_add(1, std::memory_order_acq_rel);
    Dispatch();
    return true;
}

std::uint64_t StandardWorkflow::GetRetryCount() const { return retries_.load(std::memory_order_acquire); }

bool StandardWorkflow::Cancel(const WorkStatus& status) {
    {
        Lock lock(mutex_);
        if (GetState() == WorkflowState::Cancelled) {
            return false;
        }
        Pause();
        Finish(WorkflowState::Cancelled);
    }
    // Past the workflow, which ignores completions once it is finished.
    root_->NotifyListeners(status);
    return true;
}

bool StandardWorkflow::DropsReport(const Work& work) const {
    // Asked after the workflow's own turn with the report. A root's report
    // asked before Cancel changed the state still goes out, and Cancel's end
    // follows it as on a completed workflow; a later one is dropped, since
    // Cancel has told the root's listeners the end already.
    return &work == root_.get() && GetState() == WorkflowState::Cancelled;
}

void StandardWorkflow::QueueWork(const std::shared_ptr<SimpleWork>& work) {
    Lock lock(mutex_);
    if (IsFinished()) {
        return;
    }
    switch (work->queueState_) {
        case kIdle:
            Push(work);
            break;
        case kRunning:
            work->queueState_ = kRunningQueuedAgain;
            break;
        default:
            // Already waiting to run: queuing it twice would run it twice.
            break;
    }
}

void StandardWorkflow::OnSimpleWorkComplete(const std::shared_ptr<SimpleWork>& work, const WorkStatus& status) {
    Lock lock(mutex_);
    if (running_.erase(work) != 0) {
        --LaneOf(*work).running;
    }
    const bool queuedAgain = work->queueState_ == kRunningQueuedAgain;
    work->queueState_ = kIdle;
    if (!IsFinished() && (queuedAgain || status.result == WorkResult::Cancelled ||
                          status.result == WorkResult::RetryableError)) {
        Push(work);
    }
    Dispatch();
}

void StandardWorkflow::OnWorkComplete(const std::shared_ptr<const Work>& work, const WorkStatus& status) {
    Lock lock(mutex_);
    const WorkflowState state = GetState();
    if (state == WorkflowState::NotStarted || IsFinishedState(state)) {
        return;
    }
    switch (status.result) {
        case WorkResult::Cancelled:
        case WorkResult::RetryableError:
            break;
        case WorkResult::Error:
            InterruptRunning();
            Finish(WorkflowState::Complete);
            return;
        default:
            if (work.get() == root_.get()) {
                InterruptRunning();
                Finish(WorkflowState::Complete);
            }
            return;
    }
    if (status.result != WorkResult::RetryableError || status.retry || IsWaitingForRetry() ||
        IsFromRunBeforeRetry(*work)) {
        return;
    }
    InterruptRunning();
    state_.store(state == WorkflowState::Running ? WorkflowState::WaitingForRetry
                                                 : WorkflowState::PausedWaitingForRetry,
                 std::memory_order_release);
    const auto callbacks = retryableErrorCallbacks_;
    const std::shared_ptr<Workflow> self = shared_from_this();
    lock.unlock();
    for (WorkflowRetryableErrorCallback* callback : callbacks) {
        callback->OnWorkflowRetryableError(self, work, status);
    }
}

bool StandardWorkflow::IsFromRunBeforeRetry(const Work& work) const {
    // A work under way when the tree stopped cannot always be interrupted (its
    // answer may be in already). Its error belongs to the run the owner has
    // retried out of: the work is queued again like any other that failed,
    // and stops the tree only if it fails again in the retried run.
    const auto* simple = dynamic_cast<const SimpleWork*>(&work);
    return simple != nullptr && simple->dispatchedInRetry_ != retries_.load(std::memory_order_acquire);
}

void StandardWorkflow::Push(const std::shared_ptr<SimpleWork>& work) {
    work->Reset();
    work->queueState_ = kReady;
    LaneOf(*work).ready.push(ReadyEntry{work, queued_++});
}

void StandardWorkflow::Dispatch() {
    DispatchLane(cpuLane_);
    if (networkLane_.manager != nullptr) {
        DispatchLane(networkLane_);
    }
}

void StandardWorkflow::DispatchLane(Lane& lane) {
    if (GetState() != WorkflowState::Running || lane.ready.empty() || lane.running >= lane.limit) {
        return;
    }
    const std::shared_ptr<Workflow> self = shared_from_this();
    while (GetState() == WorkflowState::Running && lane.running < lane.limit && !lane.ready.empty()) {
        std::shared_ptr<SimpleWork> work = lane.ready.top().work;
        lane.ready.pop();
        work->queueState_ = kRunning;
        work->dispatchedInRetry_ = retries_.load(std::memory_order_acquire);
        running_.insert(work);
        ++lane.running;
        // Posting never runs the task inline, so holding the lock here is safe.
        lane.manager->ExecuteInWorkflow(self, std::move(work));
    }
}

void StandardWorkflow::InterruptRunning() {
    for (const auto& work : running_) {
        work->Cancel();
        work->Abort();
    }
}

void StandardWorkflow::Finish(WorkflowState state) {
    state_.store(state, std::memory_order_release);
    // Nothing queued runs any more; let the works go.
    for (Lane* lane : {&cpuLane_, &networkLane_}) {
        while (!lane->ready.empty()) {
            lane->ready.top().work->queueState_ = kIdle;
            lane->ready.pop();
        }
    }
}

}  // namespace tvl
