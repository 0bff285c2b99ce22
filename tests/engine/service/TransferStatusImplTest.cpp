#include "engine/service/TransferStatusImpl.h"

#include <gtest/gtest.h>

#include "engine/service/TransferParams.h"
#include "tests/engine/service/TransferTestSupport.h"

namespace tvl {
namespace {

using test::StateOf;

constexpr std::uint64_t kMiB = 1048576;

class TransferStatusImplTest : public ::testing::Test {
  protected:
    void Build(std::int32_t windowSeconds, std::uint32_t intervalMs = 500) {
        params.transferId = "0123456789abcdef0123456789abcdef";
        status = std::make_unique<TransferStatusImpl>(&params, windowSeconds, intervalMs, clock.Clock());
    }

    void Transferring(std::uint64_t total) {
        status->SetState(TransferState::Transferring);
        status->TakePackage(*test::ParsePackage());
        ASSERT_EQ(status->GetBytesTotal(), 16u);
        (void)total;
    }

    TransferParams params;
    test::FakeClock clock;
    std::unique_ptr<TransferStatusImpl> status;
};

TEST_F(TransferStatusImplTest, CountersAndParametersReachTheSnapshot) {
    Build(1);
    status->AddDone(10);
    status->SubtractDone(3);
    status->AddVerified(4);
    status->AddDownloaded(9);
    params.versionId = "7";
    TransferStatus s = status->Snapshot();
    EXPECT_EQ(s.transferId, params.transferId);
    EXPECT_EQ(s.versionId, "7") << "the live parameters";
    EXPECT_EQ(StateOf(s), TransferState::Initializing);
    EXPECT_EQ(s.bytesDone, 7u);
    EXPECT_EQ(s.bytesVerified, 4u);
    EXPECT_EQ(s.bytesDownloaded, 9u);
    EXPECT_EQ(s.secondsRemaining, -1);
    status->SubtractDone(100);
    EXPECT_EQ(status->Snapshot().bytesDone, 0u) << "never wraps below zero";
}

TEST_F(TransferStatusImplTest, RunPathOnlyOnceCompleted) {
    Build(1);
    status->TakePackage(*test::ParsePackage());
    EXPECT_EQ(status->Snapshot().runPath, "");
    EXPECT_EQ(status->Snapshot().bytesTotal, 16u);
    status->SetState(TransferState::Completed);
    EXPECT_EQ(status->Snapshot().runPath, "app/run.sh");
}

TEST_F(TransferStatusImplTest, RateOfTwoSamplesOneSecondApart) {
    Build(1);
    Transferring(16);
    EXPECT_EQ(status->Snapshot().bytesPerSecond, 0u) << "one sample is no rate";
    status->AddDownloaded(kMiB);
    clock.Advance(1000);
    EXPECT_EQ(status->Snapshot().bytesPerSecond, kMiB);
}

TEST_F(TransferStatusImplTest, RateDividesByAtLeastTheWindow) {
    Build(10);
    Transferring(16);
    status->Snapshot();
    status->AddDownloaded(kMiB);
    clock.Advance(1000);
    EXPECT_EQ(status->Snapshot().bytesPerSecond, kMiB / 10);
}

TEST_F(TransferStatusImplTest, OldSamplesLeaveTheWindow) {
    Build(2);
    Transferring(16);
    status->Snapshot();  // t=0, 0 bytes
    status->AddDownloaded(10 * kMiB);
    clock.Advance(1000);
    status->Snapshot();  // t=1 s, 10 MiB
    clock.Advance(1000);
    status->AddDownloaded(2 * kMiB);
    // t=2 s: the first sample is 2 s old and leaves; 2 MiB over 1 s, divided by the 2 s window.
    EXPECT_EQ(status->Snapshot().bytesPerSecond, kMiB);
    clock.Advance(1999);
    // t=3.999 s: the sample of t=1 s is 2 whole seconds old and leaves too.
    EXPECT_EQ(status->Snapshot().bytesPerSecond, 0u) << "nothing downloaded between the two newest";
}

TEST_F(TransferStatusImplTest, NoRateSamplesOutsideTransferring) {
    Build(1);
    status->AddDownloaded(kMiB);
    status->Snapshot();
    clock.Advance(1000);
    status->AddDownloaded(kMiB);
    EXPECT_EQ(status->Snapshot().bytesPerSecond, 0u) << "initializing: no samples";
}

TEST_F(TransferStatusImplTest, EstimateAfterOneWindowOfPolledTransferTime) {
    Build(1, 500);
    Transferring(16);
    status->AddDownloaded(4);
    status->AddDone(4);
    status->Snapshot();  // first sample, no transfer time yet
    clock.Advance(999);
    EXPECT_EQ(status->Snapshot().secondsRemaining, -1) << "999 ms are less than the window";
    clock.Advance(1);
    // t = 1000 ms for 4 bytes, 12 remaining: 1000 / 4000 * 12 = 3 s.
    EXPECT_EQ(status->Snapshot().secondsRemaining, 3);
    EXPECT_EQ(status->TransferTimeMs().Value(), 1000u);
}

TEST_F(TransferStatusImplTest, EstimateIsRefreshedOnlyEveryInterval) {
    Build(1, 500);
    Transferring(16);
    status->AddDownloaded(4);
    status->AddDone(4);
    status->Snapshot();
    clock.Advance(1000);
    ASSERT_EQ(status->Snapshot().secondsRemaining, 3);
    status->AddDownloaded(4);
    status->AddDone(4);
    clock.Advance(499);
    EXPECT_EQ(status->Snapshot().secondsRemaining, 3) << "cached within the interval";
    clock.Advance(1);
    // t = 1500 ms for 8 bytes, 8 remaining: 1500 / 8000 * 8 = 1.5, rounded up.
    EXPECT_EQ(status->Snapshot().secondsRemaining, 2);
}

TEST_F(TransferStatusImplTest, EstimateEdgeCases) {
    Build(1, 0);
    Transferring(16);
    status->Snapshot();
    clock.Advance(2000);
    EXPECT_EQ(status->Snapshot().secondsRemaining, -1) << "nothing downloaded: no estimate (and no time)";
    status->AddDownloaded(1);
    status->Snapshot();
    clock.Advance(2000);
    status->AddDone(20);
    EXPECT_EQ(status->Snapshot().secondsRemaining, 0) << "done beyond the total leaves nothing remaining";
    status->SubtractDone(20);
    for (int i = 0; i < 40; ++i) {
        clock.Advance(4000000000u);
        status->Snapshot();
    }
    EXPECT_EQ(status->Snapshot().secondsRemaining, 2147483647) << "clamped";
}

TEST_F(TransferStatusImplTest, PausedTransferSamplesButAccumulatesNoTime) {
    Build(1, 0);
    Transferring(16);
    status->AddDownloaded(4);
    status->Snapshot();
    clock.Advance(600);
    status->Snapshot();
    ASSERT_EQ(status->TransferTimeMs().Value(), 600u);
    status->SetState(TransferState::TransferringPaused);
    clock.Advance(5000);
    status->Snapshot();
    EXPECT_EQ(status->TransferTimeMs().Value(), 600u);
    status->SetState(TransferState::Transferring);
    clock.Advance(5000);
    status->Snapshot();
    EXPECT_EQ(status->TransferTimeMs().Value(), 600u) << "the paused interval is not counted after resuming";
    clock.Advance(400);
    status->Snapshot();
    EXPECT_EQ(status->TransferTimeMs().Value(), 1000u);
}

TEST_F(TransferStatusImplTest, VerifyTransfersEstimateOnVerifiedBytes) {
    Build(1, 0);
    params.transferType = 1;
    Transferring(16);
    status->AddDownloaded(4);
    status->AddDone(8);
    status->Snapshot();
    clock.Advance(1000);
    EXPECT_EQ(status->Snapshot().secondsRemaining, -1) << "nothing verified";
    status->AddVerified(8);
    clock.Advance(1000);
    // Time counts only once there are bytes: 1000 ms for 8 verified bytes, 8 remaining.
    EXPECT_EQ(status->Snapshot().secondsRemaining, 1);
}

TEST_F(TransferStatusImplTest, ClockWrapAroundKeepsDifferences) {
    Build(1);
    clock.Set(0xFFFFFF00u);
    Transferring(16);
    status->Snapshot();
    status->AddDownloaded(kMiB);
    clock.Advance(1000);  // wraps past zero
    EXPECT_EQ(status->Snapshot().bytesPerSecond, kMiB);
    EXPECT_EQ(status->TransferTimeMs().Value(), 1000u);
}

TEST_F(TransferStatusImplTest, DeltaCountersReportIncreasesOnce) {
    Build(1);
    status->AddDownloaded(5);
    EXPECT_EQ(status->BytesDownloaded().TakeDelta(), 5u);
    status->AddDownloaded(3);
    EXPECT_EQ(status->BytesDownloaded().TakeDelta(), 3u);
    EXPECT_EQ(status->BytesDownloaded().TakeDelta(), 0u);
}

}  // namespace
}  // namespace tvl
