#include "engine/optimizer/NodeStatistics.h"

#include <gtest/gtest.h>

#include <boost/property_tree/ptree.hpp>
#include <thread>
#include <vector>

#include "engine/http/HttpRequestStatus.h"

namespace tvl {
namespace {

HttpRequestStatus Request(HttpRequestResult result, std::uint64_t bytes, std::uint32_t ms,
                          std::uint32_t firstByteMs = 0) {
    HttpRequestStatus status;
    status.result = result;
    status.bytesWritten = bytes;
    status.requestTimeMs = ms;
    status.firstByteTimeMs = firstByteMs;
    return status;
}

TEST(NodeStatistics, SpeedSampleCountsAtLeastOneMillisecond) {
    EXPECT_DOUBLE_EQ(NodeStatistics::SpeedSample(Request(HttpRequestResult::Success, 1000000, 0)), 1e9);
    EXPECT_DOUBLE_EQ(NodeStatistics::SpeedSample(Request(HttpRequestResult::Success, 1000, 500)), 2000.0);
    EXPECT_DOUBLE_EQ(NodeStatistics::SpeedSample(Request(HttpRequestResult::ConnectFailure, 1000, 500)), 0.0);
}

TEST(NodeStatistics, ErrorsStartAtInvalidRequestAndAbortedIsNotOne) {
    for (auto result : {HttpRequestResult::NotStarted, HttpRequestResult::InProgress, HttpRequestResult::Success,
                        HttpRequestResult::Aborted}) {
        EXPECT_FALSE(NodeStatistics::IsError(Request(result, 0, 0)));
    }
    for (int r = 4; r <= 14; ++r) {
        EXPECT_TRUE(NodeStatistics::IsError(Request(static_cast<HttpRequestResult>(r), 0, 0))) << r;
    }
}

TEST(NodeStatistics, CountersAndSnapshotDeltas) {
    NodeStatistics stats;
    stats.Update(Request(HttpRequestResult::Success, 100, 0, 0));
    stats.Update(Request(HttpRequestResult::Aborted, 50, 20, 5));
    stats.Update(Request(HttpRequestResult::ConnectFailure, 0, 30, 0));
    stats.Update(Request(HttpRequestResult::HttpServerError, 7, 10, 2));
    stats.Update(Request(HttpRequestResult::ConnectionReset, 3, 10, 2));
    stats.Update(Request(HttpRequestResult::DataMismatch, 0, 10, 2));
    stats.Update(Request(HttpRequestResult::RequestTimeout, 0, 10, 2));
    stats.Update(Request(HttpRequestResult::WriteError, 0, 10, 2));

    const NodeStatisticsSnapshot first = stats.Snapshot();
    EXPECT_EQ(first.numRequests, 8u);
    EXPECT_EQ(first.numErrors, 6u);
    EXPECT_EQ(first.bytes, 160u);
    EXPECT_EQ(first.successBytes, 150u);
    EXPECT_EQ(first.firstByteTime, 1u + 5 + 1 + 2 * 5);
    EXPECT_EQ(first.requestTime, 1u + 20 + 30 + 10 * 5);
    EXPECT_EQ(first.successTime, 21u);
    EXPECT_EQ(first.numConnectFailures, 1u);
    EXPECT_EQ(first.numHttpServerErrors, 1u);
    EXPECT_EQ(first.numConnectionsReset, 1u);
    EXPECT_EQ(first.numDataMismatches, 1u);
    EXPECT_EQ(first.numRequestTimeouts, 1u);

    const NodeStatisticsSnapshot second = stats.Snapshot();
    EXPECT_EQ(second.numRequests, 0u);
    EXPECT_EQ(second.bytes, 0u);
    EXPECT_EQ(second.requestTime, 0u);

    stats.Update(Request(HttpRequestResult::Success, 10, 4));
    const NodeStatisticsSnapshot third = stats.Snapshot();
    EXPECT_EQ(third.numRequests, 1u);
    EXPECT_EQ(third.bytes, 10u);
}

TEST(NodeStatistics, WriteReportsTotalsAndSpeedOverAllRequestTime) {
    NodeStatistics stats;
    boost::property_tree::ptree empty;
    stats.Write(empty);
    EXPECT_EQ(empty.get<std::string>("Average Request Speed"), "0");

    stats.Update(Request(HttpRequestResult::Success, 3000, 1000));
    stats.Update(Request(HttpRequestResult::ConnectFailure, 0, 1000));
    boost::property_tree::ptree tree;
    stats.Write(tree);
    std::vector<std::string> keys;
    for (const auto& child : tree) {
        keys.push_back(child.first);
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"Requests", "Errors", "Bytes", "Average Request Speed"}));
    EXPECT_EQ(tree.get<std::string>("Requests"), "2");
    EXPECT_EQ(tree.get<std::string>("Errors"), "1");
    EXPECT_EQ(tree.get<std::string>("Bytes"), "3000");
    EXPECT_EQ(tree.get<std::string>("Average Request Speed"), "1500");
}

TEST(NormalNodeStatistics, WelfordMeanAndVarianceAndWeightedFailures) {
    NormalNodeStatistics stats;
    EXPECT_EQ(stats.GetDistribution(), std::make_pair(0.0, 1.0));
    stats.Update(Request(HttpRequestResult::Success, 2000, 1000));  // 2000 B/s
    EXPECT_EQ(stats.GetDistribution(), std::make_pair(2000.0, 1.0)) << "one sample: variance 1";
    stats.Update(Request(HttpRequestResult::Success, 4000, 1000));  // 4000 B/s
    EXPECT_DOUBLE_EQ(stats.GetDistribution().first, 3000.0);
    EXPECT_DOUBLE_EQ(stats.GetDistribution().second, 2000000.0);

    NormalNodeStatistics history;
    for (int i = 0; i < 25; ++i) {
        history.Update(Request(HttpRequestResult::Success, 1000, 1000));
    }
    history.Update(Request(HttpRequestResult::RequestTimeout, 0, 1000));
    EXPECT_EQ(history.GetCount(), 28u) << "25 / 10 + 1 = 3 zero samples";
    EXPECT_NEAR(history.GetDistribution().first, 1000.0 * 25 / 28, 1e-9);
}

TEST(NormalNodeStatistics, WriteReplacesSpeedWithTheMeanAndAddsDeviation) {
    NormalNodeStatistics stats;
    stats.Update(Request(HttpRequestResult::Success, 2000, 1000));
    stats.Update(Request(HttpRequestResult::Success, 4000, 1000));
    boost::property_tree::ptree tree;
    stats.Write(tree);
    EXPECT_EQ(tree.get<std::string>("Average Request Speed"), "3000");
    EXPECT_EQ(tree.get<std::string>("Standard Deviation"), "1414");
    EXPECT_EQ(tree.count("Average Request Speed"), 1u);
}

TEST(ExponentialNormalNodeStatistics, SmoothingWithAlphaPointThree) {
    ExponentialNormalNodeStatistics prototype(0.3);
    ExponentialNormalNodeStatistics stats(prototype);
    const double x = 10000.0;
    stats.Update(Request(HttpRequestResult::Success, 10000, 1000));
    EXPECT_DOUBLE_EQ(stats.GetDistribution().first, 0.3 * x);
    EXPECT_DOUBLE_EQ(stats.GetDistribution().second, 0.21 * x * x);
    stats.Update(Request(HttpRequestResult::ConnectFailure, 0, 1000));
    EXPECT_DOUBLE_EQ(stats.GetDistribution().first, 0.21 * x);
    EXPECT_EQ(stats.GetCount(), 2u) << "one sample per request, failures included";
    EXPECT_EQ(stats.Snapshot().numRequests, 2u);
    EXPECT_EQ(ExponentialNormalNodeStatistics(stats).Snapshot().numRequests, 0u) << "copies start counting anew";
    EXPECT_EQ(ExponentialNormalNodeStatistics(stats).GetDistribution(), stats.GetDistribution());
}

TEST(NodeStatistics, ConcurrentUpdatesAndSnapshotsLoseNothing) {
    ExponentialNormalNodeStatistics stats(0.3);
    constexpr int kThreads = 4;
    constexpr int kPerThread = 5000;
    std::vector<std::thread> threads;
    std::atomic<std::uint64_t> snapshotRequests{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kPerThread; ++i) {
                stats.Update(Request(i % 3 ? HttpRequestResult::Success : HttpRequestResult::RequestTimeout, 2, 1));
                if (i % 100 == 0) {
                    snapshotRequests += stats.Snapshot().numRequests;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    snapshotRequests += stats.Snapshot().numRequests;
    EXPECT_EQ(snapshotRequests.load(), static_cast<std::uint64_t>(kThreads * kPerThread));
    EXPECT_EQ(stats.GetCount(), static_cast<std::uint32_t>(kThreads * kPerThread));
}

}  // namespace
}  // namespace tvl
