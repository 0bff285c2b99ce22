// Misbehaving servers: download nodes that refuse, crawl, stall, corrupt,
// answer 503 in bursts or drop connections mid-chunk, a geolocation endpoint
// that is down, and a manifest host that goes down and comes back. Each run
// must end byte-identical to the source, or with the error the user is meant
// to see, and must never write outside its destination.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "engine/service/TransferService.h"
#include "engine/service/TransferSettings.h"
#include "engine/service/TransferState.h"
#include "tests/reliability/ReliabilityHarness.h"
#include "tests/support/TestCdn.h"
#include "tests/support/WaitFor.h"

namespace tvl::reliability {
namespace {

using cdn::CdnEndpoint;
using cdn::CdnFault;
using namespace std::chrono_literals;

class NodeFaults : public ReliabilityTest {
protected:
    // Settings of the in-process runs: talvane-get's work parallelism, and
    // low-speed times short enough that a crawling node is given up on within
    // seconds rather than the deployment's minute.
    TransferSettings FastGiveUpSettings() const {
        TransferSettings settings = test::CdnTransferSettings(*server_);
        settings.workThreads = 4;
        settings.maxRunningWorks = 4;
        settings.parallelWorks = 4;
        settings.minConnectTimeoutSeconds = 1;
        settings.maxConnectTimeoutSeconds = 4;
        settings.explorationConnectTimeoutSeconds = 1;
        settings.minLowSpeedTimeSeconds = 1;
        settings.maxLowSpeedTimeSeconds = 4;
        settings.explorationLowSpeedTimeSeconds = 1;
        return settings;
    }

    // Drives one transfer the way talvane-get does: start once initialized,
    // retry retryable errors a bounded number of times, stop when final.
    TransferStatus DriveToEnd(TransferService& service, unsigned retries, std::chrono::seconds limit) {
        ++runs_;
        TransferStatus status = service.CreateTransfer("partner", "pkg");
        const std::string id = status.transferId;
        EXPECT_EQ(id.size(), 32u);
        bool startAsked = false;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            status = service.GetTransferStatus(id);
            if (status.error != 0 && status.retryable && retries > 0) {
                --retries;
                service.RetryTransfer(id);
            } else if (status.error == 0 && status.state == static_cast<std::uint8_t>(TransferState::Initialized) &&
                       !startAsked) {
                service.StartTransfer(id, destination_);
                startAsked = true;
            } else if (status.IsFinal()) {
                return status;
            }
            std::this_thread::sleep_for(50ms);
        }
        ADD_FAILURE() << "the transfer did not end within " << limit.count() << " s";
        return service.GetTransferStatus(id);
    }

    void ExpectCompletedRun(const TalvaneGetProcess::Outcome& outcome) {
        EXPECT_TRUE(outcome.finished);
        EXPECT_EQ(outcome.signal, 0);
        EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
        EXPECT_NE(outcome.out.find("\"state\":\"Completed\""), std::string::npos) << outcome.out;
        ExpectDestinationMatchesSource();
        ExpectNothingWrittenOutsideDestination();
    }

    static std::uint64_t Occurrences(const std::string& text, const std::string& word) {
        std::uint64_t count = 0;
        for (std::size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
            ++count;
        }
        return count;
    }

    std::size_t Chunks() const { return TreeChunks(source_, CurrentMode().chunkSize); }
    // What a node serves for the whole package: chunks of zeros are already
    // right in a new file.
    std::uint64_t FetchedBytes() const { return TreeBytes(source_) - ZeroChunkBytes(source_, CurrentMode().chunkSize); }
};

TEST_F(NodeFaults, ANodeRefusingConnectionsIsRoutedAroundWithoutRefetching) {
    Pack();
    server_->SetFault(CdnEndpoint::Node(0), CdnFault::Refused());
    const auto outcome = RunToEnd(NewTransferArguments(3));
    ExpectCompletedRun(outcome);
    EXPECT_TRUE(server_->Requests(CdnEndpoint::Node(0)).empty());
    // Refused connections carry no bytes, so every chunk came once from the other node.
    EXPECT_EQ(NodeFigures(*server_, 1).bytes, FetchedBytes());
    EXPECT_EQ(NodeFigures(*server_, 1).failures, 0u);
    Record("node 0 refuses connections", OutcomeText(outcome), true);
}

// A node that trickles its answers below the low-speed limit, and one that
// stops sending after the header: both are cut off by the low-speed time, the
// chunk goes to the other node, and the optimizer learns to pick the healthy
// node for the rest.
class CrawlingNode : public NodeFaults, public ::testing::WithParamInterface<bool> {};

TEST_P(CrawlingNode, IsGivenUpOnAndTheTransferCompletesFromTheOtherNode) {
    const bool stalled = GetParam();
    Pack();
    server_->SetFault(CdnEndpoint::Node(0), stalled ? CdnFault::StalledAfter(2048)
                                                    : CdnFault::SlowBody(256, std::chrono::milliseconds(250)));
    const auto started = std::chrono::steady_clock::now();
    TransferStatus status;
    {
        TransferService service(FastGiveUpSettings());
        status = DriveToEnd(service, 3, 90s);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_EQ(status.state, static_cast<std::uint8_t>(TransferState::Completed)) << "error " << int(status.error);
    EXPECT_EQ(status.error, 0);
    ExpectDestinationMatchesSource();
    ExpectNothingWrittenOutsideDestination();

    const std::size_t crawled = server_->Requests(CdnEndpoint::Node(0)).size();
    EXPECT_GE(crawled, 1u) << "the crawling node was tried";
    EXPECT_LT(crawled, Chunks() / 2) << "most chunks avoid the crawling node";
    // Each attempt on the crawling node costs at most a few low-speed times.
    EXPECT_LT(seconds, 60.0);
    Record(stalled ? "node 0 stalls after 2048 bytes" : "node 0 sends 1 KB/s",
           status.state == static_cast<std::uint8_t>(TransferState::Completed) ? "completed"
                                                                              : "error " + std::to_string(status.error),
           true);
}

INSTANTIATE_TEST_SUITE_P(Reliability, CrawlingNode, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? std::string("Stalled") : std::string("Slow");
                         });

TEST_F(NodeFaults, ANodeCorruptingEveryAnswerNeverReachesTheFinalFiles) {
    Pack();
    server_->SetFault(CdnEndpoint::Node(0), CdnFault::CorruptByte(100));
    const auto outcome = RunToEnd(NewTransferArguments(3));
    ExpectCompletedRun(outcome);
    const ServedFigures corrupting = NodeFigures(*server_, 0);
    EXPECT_GE(corrupting.answers, 1u) << "corrupted chunks were delivered and had to be caught";
    // Every chunk long enough to be corrupted came in the end from the other node.
    std::uint64_t corruptible = 0;
    const std::uint32_t chunk = CurrentMode().chunkSize;
    for (const auto& [path, bytes] : source_) {
        for (std::uint64_t offset = 0; offset < bytes.size(); offset += chunk) {
            const std::uint64_t length = std::min<std::uint64_t>(chunk, bytes.size() - offset);
            corruptible += length > 100 ? length : 0;
        }
    }
    EXPECT_GE(NodeFigures(*server_, 1).bytes, corruptible);
    Record("node 0 flips byte 100 of every answer", OutcomeText(outcome), true);
}

TEST_F(NodeFaults, BurstsOf503FromNodesAndManifestHostAreRetriedThrough) {
    Pack();
    const int burst = 4;
    server_->SetFault(CdnEndpoint::Manifest(), CdnFault::WithStatus(503, 3));
    server_->SetFault(CdnEndpoint::Node(0), CdnFault::WithStatus(503, burst));
    server_->SetFault(CdnEndpoint::Node(1), CdnFault::WithStatus(503, burst));
    auto process = Launch(NewTransferArguments(10));

    // Two more bursts on both nodes, each once a third of the chunks has gone through.
    const std::size_t chunks = Chunks();
    int bursts = 1;
    TalvaneGetProcess::Outcome outcome = process->Wait(0ms);
    const auto deadline = std::chrono::steady_clock::now() + 90s;
    while (!outcome.finished && std::chrono::steady_clock::now() < deadline) {
        if (bursts < 3 && AllNodeFigures(*server_).answers >= chunks * static_cast<std::size_t>(bursts) / 3) {
            server_->SetFault(CdnEndpoint::Node(0), CdnFault::WithStatus(503, burst));
            server_->SetFault(CdnEndpoint::Node(1), CdnFault::WithStatus(503, burst));
            ++bursts;
        }
        outcome = process->Wait(10ms);
    }
    if (!outcome.finished) {
        ADD_FAILURE() << "talvane-get did not finish";
        outcome = process->Kill();
    }
    ExpectCompletedRun(outcome);
    std::size_t served503 = 0;
    for (std::size_t node = 0; node < 2; ++node) {
        for (const auto& request : server_->Requests(CdnEndpoint::Node(node))) {
            served503 += request.answeredStatus == 503 ? 1 : 0;
        }
    }
    EXPECT_GE(served503, static_cast<std::size_t>(burst)) << "the bursts were met";
    std::size_t manifest503 = 0;
    for (const auto& request : server_->Requests(CdnEndpoint::Manifest())) {
        manifest503 += request.answeredStatus == 503 ? 1 : 0;
    }
    EXPECT_EQ(manifest503, 3u);
    // A 503 carries no chunk bytes. Only a workflow stopped by a chunk out of
    // retries abandons the chunks then in flight, and fetches them again.
    const std::uint64_t stops = Occurrences(outcome.err, "retrying");
    EXPECT_LE(AllNodeFigures(*server_).bytes, TreeBytes(source_) + stops * 4 * CurrentMode().chunkSize)
        << RepeatedRanges(*server_) << outcome.err;
    if (stops == 0) {
        EXPECT_EQ(AllNodeFigures(*server_).bytes, FetchedBytes()) << RepeatedRanges(*server_);
    }
    Record(std::to_string(bursts) + " bursts of " + std::to_string(burst) + " x 503 per node, 3 x 503 on the manifest host",
           OutcomeText(outcome), true);
}

TEST_F(NodeFaults, ConnectionsDroppedInTheMiddleOfChunksAreResumedElsewhere) {
    Pack();
    const std::uint32_t chunk = CurrentMode().chunkSize;
    server_->SetFault(CdnEndpoint::Node(0), CdnFault::ResetAfterBytes(chunk / 2));
    server_->SetFault(CdnEndpoint::Node(1), CdnFault::TruncatedAfter(chunk / 3, 3));
    const auto outcome = RunToEnd(NewTransferArguments(10));
    ExpectCompletedRun(outcome);
    EXPECT_GE(server_->Requests(CdnEndpoint::Node(0)).size(), 1u);
    Record("node 0 resets every answer after half a chunk; node 1 closes 3 answers after a third", OutcomeText(outcome),
           true);
}

TEST_F(NodeFaults, GeolocationDownStillDeliversAnUnfencedPackage) {
    Pack();
    server_->SetFault(CdnEndpoint::Geolocation(), CdnFault::Refused());
    const auto outcome = RunToEnd(NewTransferArguments(3));
    ExpectCompletedRun(outcome);
    EXPECT_TRUE(server_->Requests(CdnEndpoint::Geolocation()).empty());
    Record("geolocation refuses connections, no geofence", OutcomeText(outcome), true);
}

TEST_F(NodeFaults, GeolocationDownRefusesAWhitelistedPackageBeforeAnyFileIsWritten) {
    Pack({}, "Whitelist", {"DE"});
    server_->SetFault(CdnEndpoint::Geolocation(), CdnFault::Refused());
    const auto outcome = RunToEnd(NewTransferArguments(3));
    EXPECT_TRUE(outcome.finished);
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_NE(outcome.err.find(ErrorLine(10)), std::string::npos) << outcome.err;
    ExpectDestinationEmpty();
    ExpectNothingWrittenOutsideDestination();
    EXPECT_EQ(AllNodeFigures(*server_).answers, 0u);
    // The work log tells the empty country behind the refusal.
    EXPECT_NE(test::ReadWorkLogs(user_.Path()).find("Geofence|"), std::string::npos);
    Record("geolocation refuses connections, whitelist DE", OutcomeText(outcome), false);
}

TEST_F(NodeFaults, ManifestHostDownAndBackIsRidOutByRetries) {
    Pack();
    server_->SetFault(CdnEndpoint::Manifest(), CdnFault::Refused());
    auto process = Launch(NewTransferArguments(40));
    // Back once talvane-get has met the outage twice.
    const bool retried = test::WaitFor(
        [&] {
            const std::string err = process->ErrorSoFar();
            const std::string line = "error 2, retrying";
            const std::size_t first = err.find(line);
            return first != std::string::npos && err.find(line, first + 1) != std::string::npos;
        },
        20s, 10ms);
    EXPECT_TRUE(retried) << process->ErrorSoFar();
    server_->ClearFaults();
    TalvaneGetProcess::Outcome outcome = process->Wait(60s);
    if (!outcome.finished) {
        ADD_FAILURE() << "talvane-get did not finish";
        outcome = process->Kill();
    }
    ExpectCompletedRun(outcome);
    Record("manifest host refuses connections, then comes back", OutcomeText(outcome), true);
}

}  // namespace
}  // namespace tvl::reliability
