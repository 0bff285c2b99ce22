// Many worker threads choosing nodes and reporting results on one optimizer
// while another thread takes statistics snapshots, as the service does. Run
// under ThreadSanitizer to check the locking.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "engine/optimizer/ProportionalGamblingTransferOptimizer.h"
#include "tests/engine/optimizer/OptimizerTestSupport.h"

namespace tvl {
namespace {

using testing::MakeNodeList;
using testing::MakeParams;
using testing::Outcome;
using testing::TestSettings;

TEST(OptimizerConcurrency, ChoicesReportsAndSnapshotsFromSeveralThreads) {
    const auto list = MakeNodeList({"a.test", "b.test", "c.test", "d.test"});
    ProportionalGamblingTransferOptimizer optimizer(TestSettings(), 31);
    constexpr int kThreads = 4;
    constexpr int kRequests = 300;
    std::atomic<int> finished{0};
    std::atomic<bool> timeoutsInRange{true};

    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back([&, t] {
            auto params = MakeParams(list);
            for (int i = 0; i < kRequests; ++i) {
                optimizer.GetNode(*params);
                const std::string host = params->selectedNode->GetHost();
                const bool timeout = host == "d.test" && (i + t) % 3 == 0;
                optimizer.ReportResult(
                    *params,
                    Outcome(host, timeout ? HttpRequestResult::RequestTimeout : HttpRequestResult::Success,
                            1048576, timeout ? 15000 : 200 + 50 * (i % 4)));
                params->RemoveSelectedNode();
                if (params->connectTimeoutSeconds < 2 || params->connectTimeoutSeconds > 15) {
                    timeoutsInRange = false;
                }
            }
            ++finished;
        });
    }

    std::uint64_t requestsSeen = 0;
    auto snapshotAll = [&] {
        for (const auto& node : list->GetNodes()) {
            requestsSeen += optimizer.GetStatistics(*node)->Snapshot().numRequests;
        }
    };
    // Bounded: the workers do a fixed amount of work; snapshots run until then.
    for (int round = 0; round < 100000 && finished.load() < kThreads; ++round) {
        snapshotAll();
        const std::int32_t connect = optimizer.GetCurrentConnectTimeoutSeconds();
        EXPECT_GE(connect, 3);
        EXPECT_LE(connect, 15);
        std::this_thread::yield();
    }
    for (auto& worker : workers) {
        worker.join();
    }
    snapshotAll();

    // Every report reached the statistics exactly once across all snapshots.
    EXPECT_EQ(requestsSeen, static_cast<std::uint64_t>(kThreads) * kRequests);
    EXPECT_TRUE(timeoutsInRange);
    EXPECT_GE(optimizer.GetCurrentLowSpeedTimeSeconds(), 5);
    EXPECT_LE(optimizer.GetCurrentLowSpeedTimeSeconds(), 60);
}

}  // namespace
}  // namespace tvl
