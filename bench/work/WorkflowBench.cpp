// Simple works per second through a workflow: a lazily parallel work of many
// NoOpWork children (capacity 8) on 4 worker threads with a running limit
// of 8. The baseline pushes the same number of empty tasks through the same
// kind of pool with the same 8 in flight, so the ratio of the two is the
// framework's own cost.

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "engine/work/AsioWorkManager.h"
#include "engine/work/LazyParallelWork.h"
#include "engine/work/NoOpWork.h"
#include "engine/work/StandardWorkflow.h"

namespace tvl {
namespace {

constexpr std::uint32_t kThreads = 4;
constexpr std::uint32_t kCapacity = 8;
constexpr std::uint32_t kRunningLimit = 8;

class Latch {
public:
    void Open() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    void Wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return open_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
};

class NoOpChildren : public LazyParallelWork {
public:
    NoOpChildren(WorkCompleteCallback* callback, std::size_t count)
        : LazyParallelWork(callback, kCapacity), count_(count) {}

protected:
    std::shared_ptr<Work> GetNextWork() override {
        if (made_ == count_) {
            return nullptr;
        }
        ++made_;
        return NoOpWork::Create();
    }

private:
    std::size_t count_;
    std::size_t made_ = 0;
};

class RootDone : public WorkCompleteCallback {
public:
    void OnWorkComplete(const std::shared_ptr<const Work>&, const WorkStatus& status) override {
        result = status.result;
        latch.Open();
    }
    Latch latch;
    WorkResult result = WorkResult::Error;
};

void ReportPerWork(benchmark::State& state, std::int64_t works, std::chrono::steady_clock::duration elapsed) {
    state.SetItemsProcessed(works);
    const double micros = std::chrono::duration<double, std::micro>(elapsed).count();
    state.counters["us_per_work"] = micros / static_cast<double>(works);
}

void BM_WorkflowNoOpWorks(benchmark::State& state) {
    const auto count = static_cast<std::size_t>(state.range(0));
    AsioWorkManager manager(kThreads, false);
    std::chrono::steady_clock::duration elapsed{};
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        RootDone done;
        const auto root = std::make_shared<NoOpChildren>(&done, count);
        const auto workflow = StandardWorkflow::Create(root, &manager, kRunningLimit);
        workflow->Start();
        done.latch.Wait();
        elapsed += std::chrono::steady_clock::now() - start;
        if (done.result != WorkResult::Success) {
            state.SkipWithError("workflow did not succeed");
            break;
        }
    }
    ReportPerWork(state, state.iterations() * static_cast<std::int64_t>(count), elapsed);
}
BENCHMARK(BM_WorkflowNoOpWorks)->Arg(20000)->UseRealTime()->Unit(benchmark::kMillisecond);

// Baseline: empty tasks, 8 in flight, each finished task posting the next.
void BM_PoolEmptyTasks(benchmark::State& state) {
    const auto count = static_cast<std::int64_t>(state.range(0));
    AsioWorkManager manager(kThreads, false);
    std::chrono::steady_clock::duration elapsed{};
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        std::atomic<std::int64_t> posted{0};
        std::atomic<std::int64_t> finished{0};
        Latch latch;
        std::function<void()> task = [&] {
            if (posted.fetch_add(1) < count) {
                manager.Post(task);
            }
            if (finished.fetch_add(1) + 1 == count + kRunningLimit) {
                latch.Open();
            }
        };
        for (std::uint32_t i = 0; i < kRunningLimit; ++i) {
            manager.Post(task);
        }
        latch.Wait();
        elapsed += std::chrono::steady_clock::now() - start;
    }
    ReportPerWork(state, state.iterations() * count, elapsed);
}
BENCHMARK(BM_PoolEmptyTasks)->Arg(20000)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tvl
