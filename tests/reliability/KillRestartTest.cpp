// talvane-get killed with SIGKILL at random moments, again and again, and
// started anew each time: alternately restoring the stored transfer and as a
// new transfer into the same destination. Nothing may be lost, and the nodes
// may serve each chunk again only when a kill caught it in flight. And the
// orderly end on the signals a user or the session sends.

#include <gtest/gtest.h>

#include <csignal>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <random>
#include <sstream>

#include "tests/reliability/ReliabilityHarness.h"
#include "tests/support/PollUntil.h"

namespace tvl::reliability {
namespace {

using cdn::CdnEndpoint;
using cdn::CdnFault;
using namespace std::chrono_literals;

// talvane-get runs with 4 request slots: at most 4 chunk requests at once.
constexpr std::uint64_t kChunksInFlight = 4;

// Requests that continue a chunk from inside it. Each follows a request that
// was stopped for a faster node, whose bytes in flight at the stop (less than
// a chunk) the nodes serve again.
std::uint64_t ResumedRequests(const cdn::CdnServer& server, std::uint64_t chunkSize) {
    std::uint64_t count = 0;
    for (std::size_t i = 0; i < server.NodeCount(); ++i) {
        for (const cdn::CdnRequest& request : server.Requests(CdnEndpoint::Node(i))) {
            const std::size_t start = request.range.find('=');
            if (start != std::string::npos && std::strtoull(request.range.c_str() + start + 1, nullptr, 10) %
                                                      chunkSize != 0) {
                ++count;
            }
        }
    }
    return count;
}

class KillAndRestart : public ReliabilityTest {};

TEST_F(KillAndRestart, RepeatedKillsLoseNothingAndRefetchAtMostTheChunksInFlight) {
    Pack();
    // Throttled nodes make a run last long enough to be cut at any stage:
    // manifests, allocation, chunks, verification.
    for (std::size_t node = 0; node < 2; ++node) {
        server_->SetFault(CdnEndpoint::Node(node), CdnFault::SlowBody(4096, 20ms));
    }
    std::mt19937 random(RandomSeed());
    std::uniform_int_distribution<int> killAfterMs(150, 800);
    const int rounds = CurrentMode().killRounds;
    int kills = 0;
    std::ostringstream history;
    history << "seed " << RandomSeed() << "\n";

    const auto arguments = [&](int round) {
        const std::vector<std::string> ids = StoredTransferIds(user_.Path());
        if (round % 2 == 1 && !ids.empty()) {
            history << "round " << round << ": --restore " << ids.front();
            return RestoreArguments(ids.front(), 3);
        }
        history << "round " << round << ": new transfer";
        return NewTransferArguments(3);
    };

    for (int round = 0; round < rounds; ++round) {
        auto process = Launch(arguments(round));
        const int delay = killAfterMs(random);
        TalvaneGetProcess::Outcome outcome = process->Wait(std::chrono::milliseconds(delay));
        if (outcome.finished) {
            history << ", ended by itself: " << OutcomeText(outcome) << "\n";
            EXPECT_EQ(outcome.exitCode, 0) << history.str() << outcome.err;
            continue;
        }
        outcome = process->Kill();
        EXPECT_EQ(outcome.signal, SIGKILL);
        ++kills;
        history << ", killed after " << delay << " ms, nodes served " << AllNodeFigures(*server_).bytes
                << " bytes, chunks intact on disk " << IntactChunks(source_, destination_, CurrentMode().chunkSize)
                << " of " << TreeChunks(source_, CurrentMode().chunkSize) << "\n";
    }
    SCOPED_TRACE(history.str());

    const auto outcome = RunToEnd(arguments(rounds), std::chrono::seconds(180));
    EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
    EXPECT_GE(kills, 1) << "the throttled download outlasts the kill moments";
    ExpectDestinationMatchesSource();
    ExpectNothingWrittenOutsideDestination();

    const std::uint64_t served = AllNodeFigures(*server_).bytes;
    const std::uint64_t chunkSize = CurrentMode().chunkSize;
    const std::uint64_t allowance = (static_cast<std::uint64_t>(kills) * kChunksInFlight +
                                     ResumedRequests(*server_, chunkSize)) * chunkSize;
    EXPECT_LE(served, TreeBytes(source_) + allowance) << RepeatedRanges(*server_);
    RecordProperty("kills", kills);
    RecordProperty("bytesServed", std::to_string(served));
    Record("SIGKILL at random moments, " + std::to_string(kills) + " kills (seed " + std::to_string(RandomSeed()) +
               "), alternately --restore and new transfer; allowance " + std::to_string(allowance) + " bytes",
           OutcomeText(outcome), true);
}

// SIGINT, SIGTERM and SIGHUP in the middle of a download: each must suspend
// the transfer and store it, end with 128 + the signal, and leave a transfer
// that --restore completes, the nodes serving again at most the chunks that
// were in flight at each signal.
TEST_F(KillAndRestart, EachShutdownSignalSuspendsTheTransferAndARestoreCompletesIt) {
    Pack();
    for (std::size_t node = 0; node < 2; ++node) {
        server_->SetFault(CdnEndpoint::Node(node), CdnFault::SlowBody(4096, 20ms));
    }
    std::string id;
    int signals = 0;
    for (const int number : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(number));
        const std::uint64_t servedBefore = AllNodeFigures(*server_).bytes;
        auto process = Launch(id.empty() ? NewTransferArguments(3) : RestoreArguments(id, 3));
        ASSERT_TRUE(test::PollUntil([&] { return AllNodeFigures(*server_).bytes > servedBefore; }, 60s, 5ms))
            << process->ErrorSoFar();
        kill(process->Pid(), number);
        const TalvaneGetProcess::Outcome outcome = process->Wait(60s);
        ++signals;

        ASSERT_TRUE(outcome.finished);
        EXPECT_EQ(outcome.signal, 0);
        EXPECT_EQ(outcome.exitCode, 128 + number) << outcome.err;
        const std::vector<std::string> ids = StoredTransferIds(user_.Path());
        ASSERT_EQ(ids.size(), 1u);
        EXPECT_NE(outcome.err.find("continue with --restore " + ids.front()), std::string::npos) << outcome.err;
        id = ids.front();
    }

    server_->ClearFaults();
    const auto outcome = RunToEnd(RestoreArguments(id, 3));
    EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
    ExpectDestinationMatchesSource();
    ExpectNothingWrittenOutsideDestination();
    const std::uint64_t served = AllNodeFigures(*server_).bytes;
    const std::uint64_t chunkSize = CurrentMode().chunkSize;
    EXPECT_LE(served, TreeBytes(source_) + (signals * kChunksInFlight + ResumedRequests(*server_, chunkSize)) *
                                               chunkSize)
        << RepeatedRanges(*server_);
    Record("SIGINT, SIGTERM and SIGHUP mid-download, then --restore", OutcomeText(outcome), true);
}

}  // namespace
}  // namespace tvl::reliability
