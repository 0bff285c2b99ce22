#include "app/TransferMonitorImpl.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

#include "app/TransferMonitorCallback.h"
#include "engine/service/TransferState.h"
#include "tests/app/FakeTransferContract.h"

namespace tvl {
namespace {

using test::FakeTransferContract;
using ::testing::ElementsAre;

class RecordingCallback : public TransferMonitorCallback {
  public:
    std::function<void(const std::string& call, const TransferStatus&)> onCall;

    void OnProgress(const TransferStatus& status) override { Record("progress", status); }
    void OnInitialized(const TransferStatus& status) override { Record("initialized", status); }
    void OnError(const TransferStatus& status) override { Record("error", status); }
    void OnFinished(const TransferStatus& status) override { Record("finished", status); }

    std::vector<std::string> Calls() {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }
    // Waits at most five seconds for at least this many calls.
    bool WaitForCalls(std::size_t count) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(5), [&] { return calls_.size() >= count; });
    }

  private:
    void Record(const std::string& call, const TransferStatus& status) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            calls_.push_back(status.transferId + " " + call);
        }
        changed_.notify_all();
        if (onCall) {
            onCall(call, status);
        }
    }
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> calls_;
};

void Set(FakeTransferContract& contract, const std::string& id, TransferState state, std::uint8_t error = 0,
         bool retryable = false) {
    contract.Update(id, [&](TransferStatus& status) {
        status.transferId = id;
        status.state = static_cast<std::uint8_t>(state);
        status.error = error;
        status.retryable = retryable;
    });
}

TEST(TransferMonitorTest, EachKindOfStatusReachesItsCallbackAndOnlyProgressStaysWatched) {
    FakeTransferContract contract;
    Set(contract, "a-progress", TransferState::Transferring);
    Set(contract, "b-initialized", TransferState::Initialized);
    Set(contract, "c-initialized-error", TransferState::Initialized, 2, true);
    Set(contract, "d-completed", TransferState::Completed);
    Set(contract, "e-retryable", TransferState::Transferring, 2, true);
    Set(contract, "f-fatal", TransferState::Transferring, 4, false);
    Set(contract, "g-suspended", TransferState::Suspended);
    // "h-unknown" has no status: the unknown-transfer status is final.
    TransferMonitorImpl monitor(contract);
    RecordingCallback callback;
    for (const char* id : {"h-unknown", "g-suspended", "f-fatal", "e-retryable", "d-completed",
                           "c-initialized-error", "b-initialized", "a-progress"}) {
        monitor.Watch(id, &callback);
    }

    monitor.Poll();
    EXPECT_THAT(callback.Calls(), ElementsAre("a-progress progress", "b-initialized initialized",
                                              "c-initialized-error initialized", "c-initialized-error error",
                                              "d-completed finished", "e-retryable error", "f-fatal finished",
                                              "g-suspended finished", " finished"));

    monitor.Poll();
    EXPECT_EQ(callback.Calls().size(), 10u);
    EXPECT_EQ(callback.Calls().back(), "a-progress progress");
    EXPECT_EQ(contract.Polls("b-initialized"), 1);
    EXPECT_EQ(contract.Polls("e-retryable"), 1);
}

TEST(TransferMonitorTest, AWatchedIdKeepsItsFirstCallback) {
    FakeTransferContract contract;
    Set(contract, "x", TransferState::Transferring);
    TransferMonitorImpl monitor(contract);
    RecordingCallback first;
    RecordingCallback second;
    monitor.Watch("x", &first);
    monitor.Watch("x", &second);
    monitor.Poll();
    EXPECT_EQ(first.Calls().size(), 1u);
    EXPECT_TRUE(second.Calls().empty());
    monitor.Unwatch("x");
    monitor.Poll();
    EXPECT_EQ(contract.Polls("x"), 1);
}

TEST(TransferMonitorTest, CallbacksMayChangeTheWatchListDuringAPass) {
    FakeTransferContract contract;
    Set(contract, "a", TransferState::Initialized);
    Set(contract, "b", TransferState::Transferring);
    TransferMonitorImpl monitor(contract);
    RecordingCallback callback;
    callback.onCall = [&](const std::string& call, const TransferStatus& status) {
        if (call == "initialized") {
            Set(contract, status.transferId, TransferState::Transferring);
            monitor.Watch(status.transferId, &callback);  // started and watched again
            monitor.Unwatch("b");
        }
    };
    monitor.Watch("a", &callback);
    monitor.Watch("b", &callback);

    monitor.Poll();
    // "b" was in the pass's snapshot, so this pass still reports it.
    EXPECT_THAT(callback.Calls(), ElementsAre("a initialized", "b progress"));
    monitor.Poll();
    EXPECT_THAT(callback.Calls(), ElementsAre("a initialized", "b progress", "a progress"));
    EXPECT_EQ(contract.Polls("b"), 1);
}

TEST(TransferMonitorTest, StoppingFromACallbackEndsThePass) {
    FakeTransferContract contract;
    Set(contract, "a", TransferState::Transferring);
    Set(contract, "b", TransferState::Transferring);
    TransferMonitorImpl monitor(contract);
    RecordingCallback callback;
    callback.onCall = [&](const std::string&, const TransferStatus&) { monitor.Stop(); };
    monitor.Watch("a", &callback);
    monitor.Watch("b", &callback);
    monitor.Poll();
    EXPECT_THAT(callback.Calls(), ElementsAre("a progress"));
    EXPECT_EQ(contract.Polls("b"), 0);
}

TEST(TransferMonitorTest, TheThreadPollsEveryIntervalUntilStopped) {
    FakeTransferContract contract;
    Set(contract, "a", TransferState::Transferring);
    TransferMonitorImpl monitor(contract, 10);
    RecordingCallback callback;
    monitor.Watch("a", &callback);
    const auto started = std::chrono::steady_clock::now();
    monitor.Start();
    monitor.Start();  // one thread only
    ASSERT_TRUE(callback.WaitForCalls(5));
    // Five passes at 10 ms take at least the four waits between them.
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(4 * 9));
    monitor.Stop();
    const int polls = contract.Polls("a");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(contract.Polls("a"), polls);
}

TEST(TransferMonitorTest, StoppingWakesAThreadThatWaitsALongInterval) {
    FakeTransferContract contract;
    const auto started = std::chrono::steady_clock::now();
    {
        TransferMonitorImpl monitor(contract, 60000);
        monitor.Start();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

TEST(TransferMonitorTest, AFinishedTransferIsReportedOnceByTheThread) {
    FakeTransferContract contract;
    Set(contract, "a", TransferState::Completed);
    TransferMonitorImpl monitor(contract, 5);
    RecordingCallback callback;
    monitor.Watch("a", &callback);
    monitor.Start();
    ASSERT_TRUE(callback.WaitForCalls(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    monitor.Stop();
    EXPECT_THAT(callback.Calls(), ElementsAre("a finished"));
}

}  // namespace
}  // namespace tvl
