// talvane-get ended by SIGINT, SIGTERM and SIGHUP in the middle of a download:
// each must suspend the transfer and store it, end with 128 + the signal, and
// leave a transfer that --restore completes, the nodes serving again at most
// the chunks that were in flight at each signal.

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <cstring>

#include "tests/reliability/ReliabilityHarness.h"
#include "tests/support/PollUntil.h"

namespace tvl::reliability {
namespace {

using cdn::CdnEndpoint;
using cdn::CdnFault;
using namespace std::chrono_literals;

// talvane-get runs with 4 request slots: at most 4 chunk requests at once.
constexpr std::uint64_t kChunksInFlight = 4;

class SignalEnd : public ReliabilityTest {};

TEST_F(SignalEnd, EachShutdownSignalSuspendsTheTransferAndARestoreCompletesIt) {
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
    EXPECT_LE(served, TreeBytes(source_) + signals * kChunksInFlight * CurrentMode().chunkSize)
        << RepeatedRanges(*server_);
    Record("SIGINT, SIGTERM and SIGHUP mid-download, then --restore", OutcomeText(outcome), true);
}

}  // namespace
}  // namespace tvl::reliability
