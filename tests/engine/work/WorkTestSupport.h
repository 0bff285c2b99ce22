#pragma once

// Test works and listeners for the work framework's tests. Every wait here is
// bounded so that a framework fault fails a test instead of hanging it.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/work/LazyParallelWork.h"
#include "engine/work/LimitedRetrySimpleWork.h"
#include "engine/work/Work.h"
#include "engine/work/WorkStatus.h"
#include "engine/work/WorkStatusData.h"
#include "engine/work/Workflow.h"
#include "tests/support/PollUntil.h"

namespace tvl::test {

constexpr std::chrono::seconds kWaitLimit{10};

// Polls until the predicate holds or the limit passes; returns the predicate's last value.
inline bool WaitUntil(const std::function<bool()>& predicate, std::chrono::milliseconds limit = kWaitLimit) {
    return PollUntil(predicate, limit, std::chrono::milliseconds(1));
}

inline std::string ErrorMessage(const WorkStatus& status) {
    const auto* data = dynamic_cast<const WorkErrorData*>(status.data.get());
    return data != nullptr ? data->GetMessage() : std::string();
}

// Records every completion it is told about, from any thread.
class CompletionRecorder : public WorkCompleteCallback {
public:
    struct Entry {
        const Work* work;
        WorkStatus status;
    };

    void OnWorkComplete(const std::shared_ptr<const Work>& work, const WorkStatus& status) override {
        std::lock_guard<std::mutex> lock(mutex_);
        entries_.push_back(Entry{work.get(), status});
        changed_.notify_all();
    }

    bool WaitForCount(std::size_t count, std::chrono::milliseconds limit = kWaitLimit) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return entries_.size() >= count; });
    }

    std::vector<Entry> Entries() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return entries_;
    }

    std::size_t Count() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return entries_.size();
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Entry> entries_;
};

// A workflow that only records what the tree queues, so composite tests can
// complete the queued works by hand in any order.
class RecordingWorkflow : public Workflow {
public:
    void OnWorkComplete(const std::shared_ptr<const Work>& work, const WorkStatus& status) override {
        std::lock_guard<std::mutex> lock(mutex_);
        completed.emplace_back(work.get(), status.result);
    }
    bool Start() override { return false; }
    bool Pause() override { return false; }
    bool Resume() override { return false; }
    bool Retry() override { return false; }
    WorkflowState GetState() const override { return WorkflowState::Running; }
    bool IsStarted() const override { return true; }
    bool IsPaused() const override { return false; }
    bool IsWaitingForRetry() const override { return false; }
    bool IsFinished() const override { return false; }
    bool Cancel(const WorkStatus&) override { return false; }
    void AddRetryableErrorCallback(WorkflowRetryableErrorCallback*) override {}
    void QueueWork(const std::shared_ptr<SimpleWork>& work) override {
        std::lock_guard<std::mutex> lock(mutex_);
        queued.push_back(work);
        paths.push_back(work->GetPath());
    }
    void OnSimpleWorkComplete(const std::shared_ptr<SimpleWork>&, const WorkStatus&) override {}

    std::shared_ptr<SimpleWork> TakeFirst() {
        std::lock_guard<std::mutex> lock(mutex_);
        auto work = queued.front();
        queued.pop_front();
        return work;
    }

    std::mutex mutex_;
    std::deque<std::shared_ptr<SimpleWork>> queued;
    std::vector<WorkPath> paths;
    std::vector<std::pair<const Work*, WorkResult>> completed;
};

// A simple work that returns the results of its script in turn (the last one
// for ever after), with a retry limit, counting its runs and noting the
// largest number of probe works that ran at the same time.
class ScriptedWork : public LimitedRetrySimpleWork {
public:
    ScriptedWork(std::vector<WorkResult> script, std::uint32_t maxRetries = 0,
                 WorkCompleteCallback* callback = nullptr)
        : LimitedRetrySimpleWork(maxRetries, callback), script_(std::move(script)) {}

    static std::shared_ptr<ScriptedWork> Create(std::vector<WorkResult> script, std::uint32_t maxRetries = 0) {
        return std::make_shared<ScriptedWork>(std::move(script), maxRetries);
    }

    std::function<void()> onExecute;  // set before the work is queued
    std::atomic<int> runs{0};
    std::atomic<int> aborts{0};

    void Abort() override { ++aborts; }

protected:
    WorkStatus ExecuteTask() override {
        const int run = runs++;
        if (onExecute) {
            onExecute();
        }
        const std::size_t at = std::min<std::size_t>(static_cast<std::size_t>(run), script_.size() - 1);
        return WorkStatus(script_[at], std::make_shared<WorkErrorData>("run " + std::to_string(run)));
    }

private:
    std::vector<WorkResult> script_;
};

// A simple work that blocks until it is released (then succeeds) or aborted
// (then ends Cancelled); gives up with Error after the wait limit.
class GateWork : public SimpleWork {
public:
    static std::shared_ptr<GateWork> Create() { return std::make_shared<GateWork>(); }

    void Release() {
        std::lock_guard<std::mutex> lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }

    void Abort() override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++aborts;
        aborted_ = true;
        changed_.notify_all();
    }

    void Reset() override {
        SimpleWork::Reset();
        std::lock_guard<std::mutex> lock(mutex_);
        aborted_ = false;
        ++resets;
    }

    std::atomic<int> started{0};
    std::atomic<int> inside{0};
    int aborts = 0;
    int resets = 0;

protected:
    WorkStatus ExecuteTask() override {
        ++started;
        ++inside;
        std::unique_lock<std::mutex> lock(mutex_);
        const bool woken = changed_.wait_for(lock, kWaitLimit, [&] { return released_ || aborted_; });
        --inside;
        if (!woken) {
            return WorkStatus(WorkResult::Error, std::make_shared<WorkErrorData>("gate never opened"));
        }
        return WorkStatus(released_ ? WorkResult::Success : WorkResult::Cancelled);
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool released_ = false;
    bool aborted_ = false;
};

// Generates count children from a factory, in order.
class GeneratedParallelWork : public LazyParallelWork {
public:
    GeneratedParallelWork(std::uint32_t capacity, std::size_t count,
                          std::function<std::shared_ptr<Work>(std::size_t)> factory,
                          WorkCompleteCallback* callback = nullptr)
        : LazyParallelWork(callback, capacity), count_(count), factory_(std::move(factory)) {}

    void Reset() override {
        std::lock_guard<std::recursive_mutex> lock(Mutex());
        LazyParallelWork::Reset();
        generated_ = 0;
    }

    std::vector<std::shared_ptr<Work>> generated;  // every child, in generation order

protected:
    std::shared_ptr<Work> GetNextWork() override {
        if (generated_ >= count_) {
            return nullptr;
        }
        auto work = factory_(generated_++);
        generated.push_back(work);
        return work;
    }

private:
    std::size_t count_;
    std::size_t generated_ = 0;
    std::function<std::shared_ptr<Work>(std::size_t)> factory_;
};

}  // namespace tvl::test
