// How chunk requests move between nodes, with an optimizer that always takes
// the first remaining candidate so that every choice is predictable.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <stdexcept>

#include "engine/optimizer/OptimizedRequestParams.h"
#include "engine/optimizer/TransferOptimizer.h"
#include "engine/work/StandardWorkflow.h"
#include "engine/workflow/TransferError.h"
#include "tests/engine/workflow/WorkflowTestSupport.h"

namespace tvl::test {
namespace {

using cdn::CdnEndpoint;
using cdn::CdnFault;

class FirstCandidateOptimizer : public TransferOptimizer {
  public:
    using TransferOptimizer::TransferOptimizer;

    void GetNode(OptimizedRequestParams& params) override {
        if (params.nodes.empty()) {
            throw std::invalid_argument("no candidates");
        }
        std::lock_guard<std::mutex> lock(mutex_);
        SelectNormal(params, params.nodes.front());
        ++choices;
    }
    void ReportResult(OptimizedRequestParams& params,
                      const std::shared_ptr<HttpTransferStatusData>& status) override {
        ++reports;
        TransferOptimizer::ReportResult(params, status);
    }

    // With stopFirstAfter set, a chunk's first request is stopped as too slow
    // once it has written that many bytes.
    bool StopsSlowRequests() const override { return stopFirstAfter != 0; }
    bool KeepGoing(const OptimizedRequestParams& params, std::uint64_t bytesWritten, double) override {
        return params.slowStops != 0 || bytesWritten < stopFirstAfter;
    }
    bool ContinuesCutShortRequests() const override { return continuesCutShort; }

    std::atomic<int> choices{0};
    std::atomic<int> reports{0};
    std::uint64_t stopFirstAfter = 0;
    bool continuesCutShort = false;
};

Delivery::Source OneChunk() {
    Delivery::Source source;
    source.files.emplace_back("only.bin", GeneratedBytes(700, 5));
    return source;
}

TEST(NodeRoutingTest, FailingChunkTriesEveryOneOfNineNodesOnceBeforePausing) {
    Delivery delivery(9);
    FirstCandidateOptimizer optimizer(delivery.Behavior().settings);
    delivery.Behavior().transferOptimizer = &optimizer;
    delivery.Publish(OneChunk());
    delivery.SetFaultOnEveryNode(CdnFault::WithStatus(503));
    auto transfer = delivery.NewDownload();

    const TransferStatus status = delivery.Run(*transfer, delivery.Destination());

    ASSERT_EQ(status.error, static_cast<std::uint8_t>(TransferError::ConnectionError));
    EXPECT_TRUE(status.retryable);
    // With one request retry configured, nine nodes still give nine attempts.
    for (std::size_t i = 0; i < 9; ++i) {
        EXPECT_EQ(delivery.Server().Requests(CdnEndpoint::Node(i)).size(), 1u) << "node " << i;
    }
    EXPECT_EQ(optimizer.choices.load(), 9);
    EXPECT_EQ(optimizer.reports.load(), 9);
}

TEST(NodeRoutingTest, CorruptedChunkMovesToTheNextNode) {
    Delivery delivery(3);
    FirstCandidateOptimizer optimizer(delivery.Behavior().settings);
    delivery.Behavior().transferOptimizer = &optimizer;
    delivery.Publish(OneChunk());
    delivery.Server().SetFault(CdnEndpoint::Node(0), CdnFault::CorruptByte(10));
    auto transfer = delivery.NewDownload();

    const TransferStatus status = delivery.Run(*transfer, delivery.Destination());

    ASSERT_EQ(StateOf(status), TransferState::Completed) << "error " << unsigned(status.error);
    EXPECT_EQ(delivery.Server().Requests(CdnEndpoint::Node(0)).size(), 1u);
    EXPECT_EQ(delivery.Server().Requests(CdnEndpoint::Node(1)).size(), 1u);
    EXPECT_EQ(delivery.Server().Requests(CdnEndpoint::Node(2)).size(), 0u);
    EXPECT_EQ(delivery.FirstDifference(delivery.Destination()), "");
    EXPECT_EQ(status.bytesDone, 700u);
    EXPECT_EQ(status.bytesDownloaded, 1400u);
}

// A pause cancels the request; the chunk goes on from the same node. An
// optimizer that continues cut-short requests asks only for the rest, the
// other for the whole chunk, having withdrawn what the cancelled attempt wrote.
TEST(NodeRoutingTest, RequestCancelledByPauseKeepsItsNodeAndReportsNothing) {
    for (const bool continues : {false, true}) {
        SCOPED_TRACE(continues ? "continuing cut-short requests" : "fetching the chunk whole again");
        Delivery delivery(2);
        FirstCandidateOptimizer optimizer(delivery.Behavior().settings);
        optimizer.continuesCutShort = continues;
        delivery.Behavior().transferOptimizer = &optimizer;
        delivery.Publish(OneChunk());
        delivery.Server().SetFault(CdnEndpoint::Node(0), CdnFault::StalledAfter(100));
        auto transfer = delivery.NewDownload();
        ASSERT_EQ(StateOf(Delivery::Initialize(*transfer)), TransferState::Initialized);
        transfer->Start(delivery.Destination());
        ASSERT_TRUE(WaitUntil([&] { return transfer->GetStatus().bytesDone == 100; }));

        EXPECT_EQ(StateOf(transfer->Pause()), TransferState::TransferringPaused);
        auto workflow = std::dynamic_pointer_cast<StandardWorkflow>(transfer->GetWorkflow());
        ASSERT_TRUE(workflow);
        ASSERT_TRUE(WaitUntil([&] { return workflow->GetRunningCount() == 0; }, std::chrono::seconds(3)));
        EXPECT_EQ(optimizer.reports.load(), 0);

        delivery.Server().ClearFaults();
        transfer->Resume();
        const TransferStatus status = Delivery::WaitForEnd(*transfer);

        ASSERT_EQ(StateOf(status), TransferState::Completed) << "error " << unsigned(status.error);
        const auto requests = delivery.Server().Requests(CdnEndpoint::Node(0));
        ASSERT_EQ(requests.size(), 2u);
        EXPECT_EQ(requests[1].range, continues ? "bytes=100-699" : "bytes=0-699");
        EXPECT_EQ(delivery.Server().Requests(CdnEndpoint::Node(1)).size(), 0u);
        EXPECT_EQ(optimizer.reports.load(), 1);
        EXPECT_EQ(status.bytesDone, 700u);
        EXPECT_EQ(status.bytesDownloaded, continues ? 700u : 800u);
        EXPECT_EQ(delivery.FirstDifference(delivery.Destination()), "");
    }
}

// A request stopped for a faster node keeps what it wrote: the next node is
// asked only for the rest, and the chunk's CRC-32 still covers every byte.
TEST(NodeRoutingTest, RequestStoppedAsTooSlowLeavesItsBytesAndTheNextNodeSendsOnlyTheRest) {
    Delivery delivery(2);
    FirstCandidateOptimizer optimizer(delivery.Behavior().settings);
    optimizer.stopFirstAfter = 1;
    delivery.Behavior().transferOptimizer = &optimizer;
    delivery.Publish(OneChunk());
    // Slow enough that the first check, 200 ms in, finds part of the body written.
    delivery.Server().SetFault(CdnEndpoint::Node(0), CdnFault::SlowBody(50, std::chrono::milliseconds(40)));
    auto transfer = delivery.NewDownload();

    const TransferStatus status = delivery.Run(*transfer, delivery.Destination());

    ASSERT_EQ(StateOf(status), TransferState::Completed) << "error " << unsigned(status.error);
    EXPECT_EQ(delivery.FirstDifference(delivery.Destination()), "");
    const auto slow = delivery.Server().Requests(CdnEndpoint::Node(0));
    const auto fast = delivery.Server().Requests(CdnEndpoint::Node(1));
    ASSERT_EQ(slow.size(), 1u);
    ASSERT_EQ(fast.size(), 1u);
    EXPECT_EQ(slow[0].range, "bytes=0-699");
    unsigned long resumedAt = 0;
    ASSERT_EQ(std::sscanf(fast[0].range.c_str(), "bytes=%lu-699", &resumedAt), 1) << fast[0].range;
    EXPECT_GT(resumedAt, 0u);
    EXPECT_LT(resumedAt, 700u);
    // Nothing was fetched twice, and nothing was counted twice.
    EXPECT_EQ(status.bytesDownloaded, 700u);
    EXPECT_EQ(status.bytesDone, 700u);
}

}  // namespace
}  // namespace tvl::test
