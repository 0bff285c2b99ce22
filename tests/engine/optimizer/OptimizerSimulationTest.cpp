// Drives the optimizer against simulated nodes of known speed: the choices
// must follow the speeds, and no node may starve.

#include <gtest/gtest.h>

#include <map>
#include <random>

#include "engine/optimizer/ProportionalGamblingTransferOptimizer.h"
#include "tests/engine/optimizer/OptimizerTestSupport.h"

namespace tvl {
namespace {

using testing::MakeNodeList;
using testing::MakeParams;
using testing::Outcome;
using testing::TestSettings;

constexpr std::uint64_t kChunkBytes = 1048576;

class SimulatedNodes {
  public:
    explicit SimulatedNodes(std::uint32_t seed) : noise_(seed) {}

    void SetSpeed(const std::string& host, double bytesPerSecond) { speeds_[host] = bytesPerSecond; }
    void SetFailing(const std::string& host, bool failing) { failing_[host] = failing; }

    // One chunk request to the host: its time varies by up to 20% either way.
    std::shared_ptr<HttpTransferStatusData> Request(const std::string& host) {
        if (failing_[host]) {
            return Outcome(host, HttpRequestResult::ConnectFailure, 0, 3000);
        }
        std::uniform_real_distribution<double> jitter(0.8, 1.2);
        const double seconds = kChunkBytes / speeds_.at(host) * jitter(noise_);
        return Outcome(host, HttpRequestResult::Success, kChunkBytes,
                       static_cast<std::uint32_t>(seconds * 1000));
    }

  private:
    std::mt19937 noise_;
    std::map<std::string, double> speeds_;
    std::map<std::string, bool> failing_;
};

// Runs `requests` choices and returns how often each host was chosen after the
// first `warmUp` of them.
std::map<std::string, int> RunRequests(ProportionalGamblingTransferOptimizer& optimizer,
                                       SimulatedNodes& nodes, const std::shared_ptr<NodeListManifest>& list,
                                       int requests, int warmUp) {
    std::map<std::string, int> counts;
    for (int i = 0; i < requests; ++i) {
        auto params = MakeParams(list, kChunkBytes);
        optimizer.GetNode(*params);
        const std::string host = params->selectedNode->GetHost();
        optimizer.ReportResult(*params, nodes.Request(host));
        if (i >= warmUp) {
            ++counts[host];
        }
    }
    return counts;
}

TEST(OptimizerSimulation, FastestNodeGetsMostRequestsAndNoneStarves) {
    const auto list = MakeNodeList({"medium.test", "fast.test", "slow.test"});
    for (std::uint32_t seed : {1u, 2u, 3u}) {
        ProportionalGamblingTransferOptimizer optimizer(TestSettings(), seed);
        SimulatedNodes nodes(seed + 100);
        nodes.SetSpeed("fast.test", 8e6);
        nodes.SetSpeed("medium.test", 2e6);
        nodes.SetSpeed("slow.test", 5e5);
        const int requests = 800;
        const int warmUp = 100;
        auto counts = RunRequests(optimizer, nodes, list, requests, warmUp);
        const double measured = requests - warmUp;
        const double fast = counts["fast.test"] / measured;
        const double medium = counts["medium.test"] / measured;
        const double slow = counts["slow.test"] / measured;
        EXPECT_GT(fast, 0.85) << "seed " << seed;
        EXPECT_GT(fast, medium);
        EXPECT_GT(fast, slow);
        // Both slower nodes fall below the 5% floor and share its lift: each
        // keeps about 3%, together about 6%.
        EXPECT_GE(medium, 0.015) << "seed " << seed;
        EXPECT_GE(slow, 0.015) << "seed " << seed;
        EXPECT_GE(medium + slow, 0.04) << "seed " << seed;
    }
}

TEST(OptimizerSimulation, CloseSpeedsShareTheLoad) {
    const auto list = MakeNodeList({"a.test", "b.test"});
    ProportionalGamblingTransferOptimizer optimizer(TestSettings(), 8);
    SimulatedNodes nodes(9);
    nodes.SetSpeed("a.test", 4e6);
    nodes.SetSpeed("b.test", 4.2e6);
    auto counts = RunRequests(optimizer, nodes, list, 600, 100);
    // Overlapping speed estimates keep both in the bet well above the floor.
    EXPECT_GT(counts["a.test"], 500 / 10);
    EXPECT_GT(counts["b.test"], 500 / 10);
}

TEST(OptimizerSimulation, ChoiceMovesAwayFromANodeThatStartsFailing) {
    const auto list = MakeNodeList({"fast.test", "backup.test", "slow.test"});
    ProportionalGamblingTransferOptimizer optimizer(TestSettings(), 11);
    SimulatedNodes nodes(12);
    nodes.SetSpeed("fast.test", 8e6);
    nodes.SetSpeed("backup.test", 3e6);
    nodes.SetSpeed("slow.test", 5e5);
    auto before = RunRequests(optimizer, nodes, list, 300, 100);
    EXPECT_GT(before["fast.test"], before["backup.test"]);

    nodes.SetFailing("fast.test", true);
    auto after = RunRequests(optimizer, nodes, list, 400, 100);
    EXPECT_GT(after["backup.test"], 300 * 8 / 10);
    EXPECT_LT(after["fast.test"], 300 / 10);
    EXPECT_GE(after["fast.test"], 1);  // still probed now and then
}

}  // namespace
}  // namespace tvl
