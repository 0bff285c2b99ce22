#pragma once

// Runs one work tree to completion on a WorkManager. Ready simple works start
// in ascending order of their paths, at most max running at once.
//
// Optionally a second lane for works that wait on the network
// (SimpleWork::WaitsOnNetwork): they run on their own manager, at most
// network slots at once, and do not count against max running. Each lane
// keeps the path order among its own works; without the lane every work
// takes the one queue.
//
// Threading: every operation may be called from any thread; they serialise
// on the workflow's recursive mutex. Composites hold their own lock while
// they queue children here, so this lock is never held while calling into a
// composite: Start queues the root's first works before taking it, and the
// retryable-error callbacks and the root's listeners in Cancel run without
// it, so they may call back into the workflow.
//
// A retryable error that a work dispatched before the latest Retry reports
// afterwards does not stop the retried run: the work is queued again.
//
// The root ends once per run: after Cancel has told the root's listeners
// its status, reports of the root itself (from a work that could not be
// interrupted and finished later) are dropped.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <queue>
#include <unordered_set>
#include <vector>

#include "engine/work/Workflow.h"

namespace tvl {

class SimpleWork;
class Work;
class WorkManager;

class StandardWorkflow : public Workflow, public std::enable_shared_from_this<StandardWorkflow> {
    struct Token {};

public:
    // Makes the workflow and gives it to every work of the tree. The manager
    // is not owned and must outlive the workflow; max running is at least 1.
    static std::shared_ptr<StandardWorkflow> Create(std::shared_ptr<Work> root, WorkManager* manager,
                                                    std::uint32_t maxRunning);
    // With a network lane: works that wait on the network run on
    // networkManager, at most networkSlots (at least 1) at once. A null
    // manager makes it the one-lane workflow above.
    static std::shared_ptr<StandardWorkflow> Create(std::shared_ptr<Work> root, WorkManager* manager,
                                                    std::uint32_t maxRunning, WorkManager* networkManager,
                                                    std::uint32_t networkSlots);

    StandardWorkflow(Token, std::shared_ptr<Work> root, WorkManager* manager, std::uint32_t maxRunning,
                     WorkManager* networkManager, std::uint32_t networkSlots);
    ~StandardWorkflow() override;

    void OnWorkComplete(const std::shared_ptr<const Work>& work, const WorkStatus& status) override;
    bool Start() override;
    bool Pause() override;
    bool Resume() override;
    bool Retry() override;
    std::uint64_t GetRetryCount() const override;
    WorkflowState GetState() const override;
    bool IsStarted() const override;
    bool IsPaused() const override;
    bool IsWaitingForRetry() const override;
    bool IsFinished() const override;
    bool Cancel(const WorkStatus& status) override;
    bool DropsReport(const Work& work) const override;
    void AddRetryableErrorCallback(WorkflowRetryableErrorCallback* callback) override;
    void QueueWork(const std::shared_ptr<SimpleWork>& work) override;
    void OnSimpleWorkComplete(const std::shared_ptr<SimpleWork>& work, const WorkStatus& status) override;

    const std::shared_ptr<Work>& GetRoot() const { return root_; }
    std::uint32_t GetMaxRunning() const { return maxRunning_; }
    std::size_t GetRunningCount() const;
    std::size_t GetReadyCount() const;
    // Of the running works, those in the network lane.
    std::size_t GetNetworkRunningCount() const;
    std::size_t GetWaitingNetworkWorks() const override;

private:
    struct ReadyEntry {
        std::shared_ptr<SimpleWork> work;
        std::uint64_t order;  // equal paths leave first in, first out
    };
    struct LaterFirst {
        bool operator()(const ReadyEntry& a, const ReadyEntry& b) const;
    };

    // All of these are called with the lock held.
    struct Lane;
    void Push(const std::shared_ptr<SimpleWork>& work);
    void Dispatch();
    void DispatchLane(Lane& lane);
    Lane& LaneOf(const SimpleWork& work);
    void InterruptRunning();
    bool IsFromRunBeforeRetry(const Work& work) const;
    void Finish(WorkflowState state);
    bool IsFinishedState(WorkflowState state) const;

    struct Lane {
        WorkManager* manager = nullptr;
        std::uint32_t limit = 0;
        std::priority_queue<ReadyEntry, std::vector<ReadyEntry>, LaterFirst> ready;
        std::size_t running = 0;
    };

    mutable std::recursive_mutex mutex_;
    const std::shared_ptr<Work> root_;
    const std::uint32_t maxRunning_;
    Lane cpuLane_;
    Lane networkLane_;  // manager null: no network lane
    std::unordered_set<std::shared_ptr<SimpleWork>> running_;
    // Written under the lock; read without it by the state queries.
    std::atomic<WorkflowState> state_{WorkflowState::NotStarted};
    // Written under the lock before the retried run's first dispatch; read
    // without it by works of the tree.
    std::atomic<std::uint64_t> retries_{0};
    std::vector<WorkflowRetryableErrorCallback*> retryableErrorCallbacks_;
    bool starting_ = false;
    std::uint64_t queued_ = 0;
};

}  // namespace tvl
