#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "engine/work/AsioWorkManager.h"
#include "tests/engine/work/WorkTestSupport.h"

namespace tvl {
namespace {

using namespace std::chrono_literals;
using test::WaitUntil;

TEST(AsioWorkManager, DrainingManagerRunsATaskPostedJustBeforeDestruction) {
    std::atomic<bool> ran{false};
    {
        AsioWorkManager manager(1, true);
        manager.Post([] { std::this_thread::sleep_for(20ms); });
        manager.Post([&] { ran = true; });
    }
    EXPECT_TRUE(ran);
}

TEST(AsioWorkManager, NonDrainingManagerDropsTasksNotYetStartedAndReleasesThem) {
    std::atomic<bool> started{false};
    std::atomic<bool> finished{false};
    std::atomic<bool> ran{false};
    const auto held = std::make_shared<int>(7);
    {
        AsioWorkManager manager(1, false);
        manager.Post([&] {
            started = true;
            std::this_thread::sleep_for(100ms);
            finished = true;
        });
        manager.Post([&, held] { ran = true; });
        ASSERT_TRUE(WaitUntil([&] { return started.load(); }));
    }
    EXPECT_TRUE(finished) << "a task under way must finish";
    EXPECT_FALSE(ran);
    EXPECT_EQ(held.use_count(), 1);
}

TEST(AsioWorkManager, ManagerWithoutThreadsAcceptsTasksAndRunsNone) {
    std::atomic<int> runs{0};
    const auto work = test::ScriptedWork::Create({WorkResult::Success});
    {
        AsioWorkManager manager(0, true);
        EXPECT_EQ(manager.GetThreadCount(), 0u);
        manager.Post([&] { ++runs; });
        manager.Execute(work);
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(runs, 0);
    EXPECT_EQ(work->runs, 0);
    EXPECT_EQ(work.use_count(), 1);
}

TEST(AsioWorkManager, TwoWorksOnTwoThreadsRunAtTheSameTime) {
    AsioWorkManager manager(2, false);
    std::atomic<int> inside{0};
    std::atomic<bool> met{false};
    test::CompletionRecorder recorder;
    for (int i = 0; i < 2; ++i) {
        auto work = test::ScriptedWork::Create({WorkResult::Success});
        work->AddCompleteCallback(&recorder);
        work->onExecute = [&] {
            ++inside;
            // Only a second thread can let this one through.
            if (WaitUntil([&] { return inside.load() == 2; }, 5000ms)) {
                met = true;
            }
        };
        manager.Execute(work);
    }
    ASSERT_TRUE(recorder.WaitForCount(2));
    EXPECT_TRUE(met);
    for (const auto& entry : recorder.Entries()) {
        EXPECT_EQ(entry.status.result, WorkResult::Success);
    }
}

class ThrowingListener : public WorkCompleteCallback {
public:
    void OnWorkComplete(const std::shared_ptr<const Work>&, const WorkStatus&) override {
        throw std::runtime_error("listener failed");
    }
};

TEST(AsioWorkManager, ThrowingTasksAndListenersDoNotStopThePool) {
    AsioWorkManager manager(1, true);
    ThrowingListener listener;
    const auto work = test::ScriptedWork::Create({WorkResult::Success});
    work->AddCompleteCallback(&listener);
    manager.Execute(work);
    manager.Post([] { throw std::runtime_error("task failed"); });
    manager.Post([] { throw 3; });
    std::atomic<bool> ran{false};
    manager.Post([&] { ran = true; });
    ASSERT_TRUE(WaitUntil([&] { return ran.load(); }));
    EXPECT_EQ(work->runs, 1);
}

TEST(AsioWorkManager, DrainRunsEverythingPostedThenRunsNothingMore) {
    AsioWorkManager manager(2, false);
    std::atomic<int> runs{0};
    for (int i = 0; i < 100; ++i) {
        manager.Post([&] {
            std::this_thread::sleep_for(100us);
            ++runs;
        });
    }
    manager.Drain();
    EXPECT_EQ(runs, 100);
    manager.Post([&] { ++runs; });
    std::this_thread::sleep_for(10ms);
    EXPECT_EQ(runs, 100);
}

}  // namespace
}  // namespace tvl
