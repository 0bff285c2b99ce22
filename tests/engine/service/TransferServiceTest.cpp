#include "engine/service/TransferService.h"

#include <gtest/gtest.h>

#include <thread>

#include "engine/service/TransferSettings.h"
#include "engine/service/TransferState.h"
#include "resources/Deployment.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/TemporaryFolder.h"

namespace tvl {
namespace {

void ExpectUnknown(const TransferStatus& status) {
    EXPECT_EQ(status.transferId, "");
    EXPECT_EQ(status.partnerId, "?");
    EXPECT_EQ(status.packageId, "?");
    EXPECT_EQ(status.versionId, "?");
    EXPECT_EQ(status.destPath, "?");
    EXPECT_EQ(status.state, 0);
    EXPECT_EQ(status.error, 9);
    EXPECT_FALSE(status.retryable);
    EXPECT_EQ(status.runPath, "");
    EXPECT_EQ(status.bytesDownloaded, 0u);
    EXPECT_EQ(status.bytesDone, 0u);
    EXPECT_EQ(status.bytesVerified, 0u);
    EXPECT_EQ(status.bytesTotal, 0u);
    EXPECT_EQ(status.bytesPerSecond, 0u);
    EXPECT_EQ(status.secondsRemaining, -1);
}

TEST(TransferStatus, DefaultIsTheUnknownTransferStatus) {
    ExpectUnknown(TransferStatus());
}

TEST(TransferStatus, FinalStates) {
    TransferStatus status;
    status.error = 0;
    for (int state = 0; state <= 8; ++state) {
        status.state = static_cast<std::uint8_t>(state);
        const bool final = state == 0 || state == 6 || state == 7 || state == 8;
        EXPECT_EQ(status.IsFinal(), final) << "state " << state;
    }
    status.state = static_cast<std::uint8_t>(TransferState::Transferring);
    status.error = 2;
    status.retryable = true;
    EXPECT_FALSE(status.IsFinal());
    status.retryable = false;
    EXPECT_TRUE(status.IsFinal());
}

TEST(TransferSettings, Defaults) {
    const TransferSettings s;
    const unsigned h = DefaultEngineParallelism(std::thread::hardware_concurrency());
    EXPECT_EQ(s.manifestHost, CompiledDeployment().manifestHost);
    EXPECT_EQ(s.transfersFolder, "Brennic Technologies/Talvane Delivery/transfers");
    EXPECT_EQ(s.logsFolder, "Brennic Technologies/Talvane Delivery/logs");
    EXPECT_EQ(s.logLevel, -9);
    EXPECT_EQ(s.manifestRetries, 4u);
    EXPECT_EQ(s.manifestConnectTimeoutSeconds, 10u);
    EXPECT_EQ(s.manifestTimeoutSeconds, 30u);
    EXPECT_EQ(s.chunkRetries, 4);
    EXPECT_EQ(s.chunkRequestRetries, 4);
    EXPECT_EQ(s.minConnectTimeoutSeconds, 3u);
    EXPECT_EQ(s.maxConnectTimeoutSeconds, 15u);
    EXPECT_EQ(s.explorationConnectTimeoutSeconds, 2);
    EXPECT_EQ(s.minTimeoutSeconds, 10u);
    EXPECT_EQ(s.explorationMinTimeoutSeconds, 3u);
    EXPECT_EQ(s.minBytesPerSecond, 7168u);
    EXPECT_EQ(s.explorationBytesPerSecond, 32768u);
    EXPECT_EQ(s.minLowSpeedTimeSeconds, 5u);
    EXPECT_EQ(s.maxLowSpeedTimeSeconds, 60u);
    EXPECT_EQ(s.explorationLowSpeedTimeSeconds, 3u);
    EXPECT_EQ(s.rateWindowSeconds, 10);
    EXPECT_EQ(s.estimateIntervalMs, 500u);
    EXPECT_EQ(s.housekeepingThreads, 1u);
    EXPECT_EQ(s.workThreads, static_cast<int>(h));
    EXPECT_EQ(s.maxRunningWorks, h);
    EXPECT_EQ(s.parallelWorks, h);
    EXPECT_EQ(s.proxyResolveTimeoutMs, 5000u);
    EXPECT_EQ(s.proxyConnectTimeoutMs, 5000u);
    EXPECT_EQ(s.proxyReceiveTimeoutMs, 5000u);
    EXPECT_EQ(s.analyticsConnectTimeoutSeconds, 10u);
    EXPECT_EQ(s.analyticsTimeoutSeconds, 10u);
    EXPECT_EQ(s.analyticsRetries, 1u);
    EXPECT_EQ(s.periodicUpdateSeconds, 300u);
    EXPECT_EQ(s.trialsPerNode, 50u);
    EXPECT_EQ(s.maxTrials, 10000u);
    EXPECT_DOUBLE_EQ(s.statisticsSmoothing, 0.3);
    EXPECT_DOUBLE_EQ(s.minSelectionProbability, 0.05);
    EXPECT_EQ(s.geolocationUrl, CompiledDeployment().geolocationUrl);
    EXPECT_EQ(s.geolocationConnectTimeoutSeconds, 5u);
    EXPECT_EQ(s.geolocationTimeoutSeconds, 10u);
    EXPECT_EQ(s.geolocationRetries, 1u);
    EXPECT_EQ(s.analyticsEventsUrl, CompiledDeployment().analyticsEventsUrl);
    EXPECT_EQ(s.analyticsTransfersUrl, CompiledDeployment().analyticsTransfersUrl);
}

TEST(TransferSettings, DeploymentGeolocationUrlIsHttpWithItsPath) {
    const std::string url = TransferSettings().geolocationUrl;
    EXPECT_EQ(url.rfind("http://", 0), 0u) << url;
    EXPECT_EQ(url.substr(url.size() - 13), "/geo-location") << url;
}

TEST(TransferSettings, ParallelismIsHardwareThreadsPlusTwoAndAtLeastThree) {
    EXPECT_EQ(DefaultEngineParallelism(0), 3u);
    EXPECT_EQ(DefaultEngineParallelism(1), 3u);
    EXPECT_EQ(DefaultEngineParallelism(2), 4u);
    EXPECT_EQ(DefaultEngineParallelism(64), 66u);
    EXPECT_EQ(DefaultEngineParallelism(0xFFFFFFFEu), 0xFFFFFFFEu);  // adding 2 would overflow
    EXPECT_EQ(DefaultEngineParallelism(0xFFFFFFFDu), 0xFFFFFFFFu);
}

TEST(TransferService, UnknownIdsAnswerTheUnknownStatusAndCreationGivesAFreshId) {
    test::TemporaryFolder user;
    test::ScopedEnvironment environment;
    environment.Set("TMPDIR", user.Path());
    TransferSettings settings;
    settings.manifestHost = "127.0.0.1:1";  // nothing listens: initialization cannot succeed
    settings.geolocationUrl = "http://127.0.0.1:1/geo-location";
    settings.analyticsEventsUrl = "http://127.0.0.1:1";
    settings.analyticsTransfersUrl = "http://127.0.0.1:1";
    settings.manifestRetries = 0;
    TransferService service{settings};
    const std::string unknown = "0123456789abcdef0123456789abcdef";
    ExpectUnknown(service.GetTransferStatus(unknown));
    ExpectUnknown(service.StartTransfer(unknown));
    ExpectUnknown(service.StartTransfer(unknown, user.Path()));
    ExpectUnknown(service.PauseTransfer(unknown));
    ExpectUnknown(service.ResumeTransfer(unknown));
    ExpectUnknown(service.RetryTransfer(unknown));
    ExpectUnknown(service.SuspendTransfer(unknown));
    ExpectUnknown(service.RestoreTransfer(unknown));
    ExpectUnknown(service.CancelTransfer(unknown, true));
    ExpectUnknown(service.GetTransferStatus("../../etc/passwd"));
    EXPECT_FALSE(service.CanTransferTo(unknown, user.Path()));

    const TransferStatus created = service.CreateTransfer("partner", "package");
    EXPECT_EQ(created.transferId.size(), 32u);
    EXPECT_EQ(created.versionId, "?");
    EXPECT_EQ(service.GetTransferStatus(created.transferId).transferId, created.transferId);
}

}  // namespace
}  // namespace tvl
