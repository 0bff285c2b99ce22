#include "engine/optimizer/ProportionalGamblingTransferOptimizer.h"

#include <gtest/gtest.h>

#include <set>
#include <stdexcept>

#include "engine/optimizer/NodeSelection.h"
#include "tests/engine/optimizer/OptimizerTestSupport.h"

namespace tvl {
namespace {

using testing::MakeNode;
using testing::MakeNodeList;
using testing::MakeParams;
using testing::Outcome;
using testing::TestSettings;

// Gives every host of the list `samples` samples of the given outcome, so the
// optimizer bets instead of probing.
void Warm(ProportionalGamblingTransferOptimizer& optimizer, const NodeListManifest& list,
          HttpRequestResult result, int samples = 2) {
    for (const auto& node : list.GetNodes()) {
        for (int i = 0; i < samples; ++i) {
            optimizer.GetStatistics(*node)->Update(
                Outcome(node->GetHost(), result, 1000000, 1000)->GetStatus());
        }
    }
}

TEST(TransferOptimizer, EmptyCandidatesAreAProgrammingError) {
    ProportionalGamblingTransferOptimizer optimizer(TestSettings(), 1);
    auto params = MakeParams(MakeNodeList({}));
    try {
        optimizer.GetNode(*params);
        FAIL() << "expected std::invalid_argument";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "TransferOptimizer::GetNode received empty nodelist");
    }
    EXPECT_FALSE(params->selectedNode);
}

TEST(TransferOptimizer, SingleCandidateIsChosenWithoutHistoryOrDrawing) {
    const auto pair = MakeNodeList({"a.test", "b.test"});
    const auto single = MakeNodeList({"solo.test"});
    ProportionalGamblingTransferOptimizer withSingles(TestSettings(), 42);
    ProportionalGamblingTransferOptimizer without(TestSettings(), 42);

    for (int i = 0; i < 5; ++i) {
        auto params = MakeParams(single);
        withSingles.GetNode(*params);
        EXPECT_EQ(params->selectedNode, single->GetNodes()[0]);
        EXPECT_FALSE(params->exploring);
        EXPECT_FALSE(params->freeRetry);
        EXPECT_EQ(params->connectTimeoutSeconds, 3);
    }
    // The single choices consumed no random numbers: both optimizers make the
    // same exploration choices afterwards.
    for (int i = 0; i < 20; ++i) {
        auto a = MakeParams(pair);
        auto b = MakeParams(pair);
        withSingles.GetNode(*a);
        without.GetNode(*b);
        ASSERT_EQ(a->selectedNode, b->selectedNode) << "choice " << i;
    }
}

TEST(TransferOptimizer, ExploresEachHostUntilItHasTwoSamples) {
    const auto list = MakeNodeList({"a.test", "b.test", "c.test"});
    ProportionalGamblingTransferOptimizer optimizer(TestSettings(), 7);
    std::map<std::string, int> probes;
    int explorations = 0;
    for (int i = 0; i < 50; ++i) {
        auto params = MakeParams(list);
        optimizer.GetNode(*params);
        if (!params->exploring) {
            break;
        }
        ++explorations;
        ++probes[params->selectedNode->GetHost()];
        EXPECT_TRUE(params->freeRetry);
        EXPECT_FALSE(params->canEscalate);
        EXPECT_EQ(params->connectTimeoutSeconds, 2);
        EXPECT_EQ(params->lowSpeedTimeSeconds, 3);
        // 1 MiB on 4 threads at 32 KiB/s: 128 s; 32 KiB/s shared by 4 threads.
        EXPECT_EQ(params->timeoutSeconds, 128);
        EXPECT_EQ(params->lowSpeedLimit, 8192);
        optimizer.ReportResult(
            *params, Outcome(params->selectedNode->GetHost(), HttpRequestResult::Success, 1048576, 200));
    }
    // A probe goes only to a host still short of samples: exactly two each.
    EXPECT_EQ(explorations, 6);
    EXPECT_EQ(probes, (std::map<std::string, int>{{"a.test", 2}, {"b.test", 2}, {"c.test", 2}}));
}

TEST(TransferOptimizer, FirstProbeIsUniformAmongNewHosts) {
    const auto list = MakeNodeList({"a.test", "b.test"});
    int first = 0;
    const int seeds = 400;
    for (int seed = 0; seed < seeds; ++seed) {
        ProportionalGamblingTransferOptimizer optimizer(TestSettings(), static_cast<std::uint32_t>(seed));
        auto params = MakeParams(list);
        optimizer.GetNode(*params);
        ASSERT_TRUE(params->exploring);
        first += params->selectedNode == list->GetNodes()[0] ? 1 : 0;
    }
    EXPECT_GT(first, seeds * 4 / 10);
    EXPECT_LT(first, seeds * 6 / 10);
}

TEST(TransferOptimizer, ProbesLeaveTheAdaptiveTimeoutsAlone) {
    const auto list = MakeNodeList({"a.test", "b.test"});
    ProportionalGamblingTransferOptimizer optimizer(TestSettings(), 3);
    auto params = MakeParams(list);
    optimizer.GetNode(*params);
    ASSERT_TRUE(params->exploring);
    optimizer.ReportResult(*params,
                           Outcome(params->selectedNode->GetHost(), HttpRequestResult::RequestTimeout));
    EXPECT_EQ(optimizer.GetCurrentConnectTimeoutSeconds(), 3);
    EXPECT_EQ(optimizer.GetCurrentLowSpeedTimeSeconds(), 5);
    // The timeout still counts as a sample of that host.
    EXPECT_EQ(std::dynamic_pointer_cast<NormalNodeStatistics>(optimizer.GetStatistics(*params->selectedNode))
                  ->GetCount(),
              1u);
}

TEST(TransferOptimizer, AllZeroStatisticsFavourTheFirstCandidateUpToTheFloor) {
    const auto list = MakeNodeList({"a.test", "b.test"});
    ProportionalGamblingTransferOptimizer optimizer(TestSettings(), 9);
    Warm(optimizer, *list, HttpRequestResult::ConnectFailure);
    auto params = MakeParams(list);
    const auto p = optimizer.SelectionProbabilities(*params);
    // Candidate 0 wins all 100 trials: 101/102 and 1/102, then the floor lifts
    // the second to 0.05 and both shrink by the increase.
    const double increase = 0.05 - 1.0 / 102.0;
    EXPECT_NEAR(p[0], (101.0 / 102.0) / (1.0 + increase), 1e-12);
    EXPECT_NEAR(p[1], 0.05 / (1.0 + increase), 1e-12);
}

TEST(TransferOptimizer, ChoiceFollowsSimulationWeightingAndFloorInThatOrder) {
    auto list = std::make_shared<testing::FixedNodeList>(
        NodeManifestList{MakeNode("a.test", 10), MakeNode("b.test", 10), MakeNode("c.test", 10)});
    const std::uint32_t seed = 77;
    ProportionalGamblingTransferOptimizer optimizer(TestSettings(), seed);
    std::vector<std::pair<double, double>> distributions;
    for (const auto& node : list->GetNodes()) {
        auto statistics = optimizer.GetStatistics(*node);
        const std::uint32_t ms = node->GetHost() == "b.test" ? 400 : 500;
        for (std::uint32_t i = 0; i < 4; ++i) {
            statistics->Update(
                Outcome(node->GetHost(), HttpRequestResult::Success, 1000000, ms + 50 * i)->GetStatus());
        }
        distributions.push_back(
            std::dynamic_pointer_cast<NormalNodeStatistics>(statistics)->GetDistribution());
    }
    auto params = MakeParams(list);
    const auto p = optimizer.SelectionProbabilities(*params);

    // Equal weights leave the simulated odds as they are.
    SelectionGenerator generator(seed);
    auto expected = SimulateFastest(distributions, 150, generator);
    ApplyProbabilityFloor(expected, 0.05);
    ASSERT_EQ(p.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_DOUBLE_EQ(p[i], expected[i]) << i;
    }
    EXPECT_GT(p[1], p[0]);
    EXPECT_GT(p[1], p[2]);
}

TEST(TransferOptimizer, FixedSeedReproducesEveryChoice) {
    const auto list = MakeNodeList({"a.test", "b.test", "c.test", "d.test"});
    auto run = [&](std::uint32_t seed) {
        ProportionalGamblingTransferOptimizer optimizer(TestSettings(), seed);
        std::vector<std::string> hosts;
        for (int i = 0; i < 60; ++i) {
            auto params = MakeParams(list);
            optimizer.GetNode(*params);
            const std::string host = params->selectedNode->GetHost();
            hosts.push_back(host);
            const std::uint32_t ms = host == "c.test" ? 100 : 300 + 100 * (i % 3);
            optimizer.ReportResult(*params, Outcome(host, HttpRequestResult::Success, 1048576, ms));
        }
        return hosts;
    };
    const auto first = run(2024);
    EXPECT_EQ(first, run(2024));
    EXPECT_NE(first, run(2025));
    EXPECT_EQ(std::set<std::string>(first.begin(), first.end()).size(), 4u);
}

TEST(TransferOptimizer, SlowNodeKeepsRoughlyTheFloor) {
    const auto list = MakeNodeList({"fast.test", "slow.test", "slower.test"});
    ProportionalGamblingTransferOptimizer optimizer(TestSettings(), 5);
    for (const auto& node : list->GetNodes()) {
        const std::uint32_t ms = node->GetHost() == "fast.test"   ? 100
                                 : node->GetHost() == "slow.test" ? 2000
                                                                  : 8000;
        for (int i = 0; i < 3; ++i) {
            optimizer.GetStatistics(*node)->Update(
                Outcome(node->GetHost(), HttpRequestResult::Success, 1048576, ms + 10 * i)->GetStatus());
        }
    }
    const auto p = optimizer.SelectionProbabilities(*MakeParams(list));
    EXPECT_GT(p[0], 0.85);
    EXPECT_GE(p[1], 0.05 / 1.1);
    EXPECT_GE(p[2], 0.05 / 1.1);
    EXPECT_NEAR(p[0] + p[1] + p[2], 1.0, 1e-12);
}

TEST(TransferOptimizer, TimeoutsShrinkAfterSuccessAndEscalateAfterTimeouts) {
    const auto list = MakeNodeList({"only.test"});
    ProportionalGamblingTransferOptimizer optimizer(TestSettings(), 1);
    auto request = [&](HttpRequestResult result) {
        auto params = MakeParams(list);
        optimizer.GetNode(*params);
        optimizer.ReportResult(*params, Outcome("only.test", result, 1048576, 500));
        return std::make_pair(optimizer.GetCurrentConnectTimeoutSeconds(),
                              optimizer.GetCurrentLowSpeedTimeSeconds());
    };
    using Timeouts = std::pair<std::int32_t, std::int32_t>;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(request(HttpRequestResult::Success), Timeouts(3, 5));
    }
    EXPECT_EQ(request(HttpRequestResult::RequestTimeout), Timeouts(6, 10));
    EXPECT_EQ(request(HttpRequestResult::RequestTimeout), Timeouts(12, 20));
    EXPECT_EQ(request(HttpRequestResult::RequestTimeout), Timeouts(15, 40));
    EXPECT_EQ(request(HttpRequestResult::RequestTimeout), Timeouts(15, 60));
    // Other failures neither shorten nor lengthen.
    EXPECT_EQ(request(HttpRequestResult::ConnectFailure), Timeouts(15, 60));

    auto params = MakeParams(list);
    optimizer.GetNode(*params);
    EXPECT_FALSE(params->canEscalate);
    EXPECT_EQ(params->connectTimeoutSeconds, 15);
    EXPECT_EQ(params->lowSpeedTimeSeconds, 60);
    EXPECT_EQ(request(HttpRequestResult::Success), Timeouts(14, 59));
    optimizer.GetNode(*params);
    EXPECT_TRUE(params->canEscalate);
}

TEST(TransferOptimizer, NormalDeadlinesScaleWithChunkAndThreads) {
    const auto list = MakeNodeList({"only.test"});
    auto select = [&](TransferSettings settings, std::uint64_t chunkBytes) {
        ProportionalGamblingTransferOptimizer optimizer(settings, 1);
        auto params = MakeParams(list, chunkBytes);
        optimizer.GetNode(*params);
        return std::make_pair(params->timeoutSeconds, params->lowSpeedLimit);
    };
    TransferSettings settings = TestSettings();
    using Limits = std::pair<std::int32_t, std::int32_t>;
    // 1 MiB on 4 threads at 7 KiB/s: 585 s; each thread may fall to 1792 B/s.
    EXPECT_EQ(select(settings, 1048576), Limits(585, 1792));
    EXPECT_EQ(select(settings, 100), Limits(10, 1792));

    settings.workThreads = 0;
    EXPECT_EQ(select(settings, 1048576).second, 7168);
    settings.workThreads = -1;
    EXPECT_EQ(select(settings, 100).second, 1);

    // A 4 GiB - 1 chunk on 64 threads must not wrap to a short deadline.
    settings.workThreads = 64;
    EXPECT_EQ(select(settings, 0xFFFFFFFFull).first, static_cast<std::int32_t>(0xFFFFFFFFull * 64 / 7168));
    settings.minBytesPerSecond = 1;
    EXPECT_EQ(select(settings, 0xFFFFFFFFull), Limits(2147483647, 1));
    settings.minBytesPerSecond = 0;
    EXPECT_EQ(select(settings, 0xFFFFFFFFull), Limits(10, 1));
}

TEST(TransferOptimizer, StatisticsAreKeptPerHost) {
    ProportionalGamblingTransferOptimizer optimizer(TestSettings(), 1);
    const auto a1 = MakeNode("a.test", 1, "/one/");
    const auto a2 = MakeNode("a.test", 5, "/two/");
    const auto b = MakeNode("b.test");
    EXPECT_EQ(optimizer.GetStatistics(*a1), optimizer.GetStatistics(*a2));
    EXPECT_NE(optimizer.GetStatistics(*a1), optimizer.GetStatistics(*b));
    // Not the node's own statistics, which count for the node's reports.
    EXPECT_NE(optimizer.GetStatistics(*a1), a1->GetStatistics());

    auto list = std::make_shared<testing::FixedNodeList>(NodeManifestList{a1, b});
    auto params = MakeParams(list);
    params->selectedNode = a2;
    optimizer.ReportResult(*params, Outcome("a.test", HttpRequestResult::Success, 2000, 1000));
    const auto snapshot = optimizer.GetStatistics(*a1)->Snapshot();
    EXPECT_EQ(snapshot.numRequests, 1u);
    EXPECT_EQ(snapshot.bytes, 2000u);
    EXPECT_EQ(optimizer.GetStatistics(*b)->Snapshot().numRequests, 0u);
    EXPECT_EQ(a1->GetStatistics()->Snapshot().numRequests, 0u);
}

}  // namespace
}  // namespace tvl
