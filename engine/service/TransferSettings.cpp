#include "engine/service/TransferSettings.h"

#include <algorithm>
#include <limits>
#include <thread>

#include "resources/Deployment.h"

namespace tvl {

std::uint32_t DefaultEngineParallelism(unsigned hardwareThreads) {
    const std::uint32_t threads = std::max<std::uint32_t>(1, hardwareThreads);
    return threads <= std::numeric_limits<std::uint32_t>::max() - 2 ? threads + 2 : threads;
}

TransferSettings::TransferSettings()
    : manifestHost(CompiledDeployment().manifestHost),
      transfersFolder("Brennic Technologies/Talvane Delivery/transfers"),
      logsFolder("Brennic Technologies/Talvane Delivery/logs"),
      logLevel(-9),
      manifestRetries(4),
      manifestConnectTimeoutSeconds(10),
      manifestTimeoutSeconds(30),
      chunkRetries(4),
      chunkRequestRetries(4),
      minConnectTimeoutSeconds(3),
      maxConnectTimeoutSeconds(15),
      explorationConnectTimeoutSeconds(2),
      minTimeoutSeconds(10),
      explorationMinTimeoutSeconds(3),
      minBytesPerSecond(7168),
      explorationBytesPerSecond(32768),
      minLowSpeedTimeSeconds(5),
      maxLowSpeedTimeSeconds(60),
      explorationLowSpeedTimeSeconds(3),
      rateWindowSeconds(10),
      estimateIntervalMs(500),
      housekeepingThreads(1),
      workThreads(static_cast<std::int32_t>(DefaultEngineParallelism(std::thread::hardware_concurrency()))),
      maxRunningWorks(DefaultEngineParallelism(std::thread::hardware_concurrency())),
      parallelWorks(DefaultEngineParallelism(std::thread::hardware_concurrency())),
      proxyResolveTimeoutMs(5000),
      proxyConnectTimeoutMs(5000),
      proxyReceiveTimeoutMs(5000),
      analyticsConnectTimeoutSeconds(10),
      analyticsTimeoutSeconds(10),
      analyticsRetries(1),
      periodicUpdateSeconds(300),
      trialsPerNode(50),
      maxTrials(10000),
      statisticsSmoothing(0.3),
      minSelectionProbability(0.05),
      geolocationUrl(CompiledDeployment().geolocationUrl),
      geolocationConnectTimeoutSeconds(5),
      geolocationTimeoutSeconds(10),
      geolocationRetries(1),
      analyticsEventsUrl(CompiledDeployment().analyticsEventsUrl),
      analyticsTransfersUrl(CompiledDeployment().analyticsTransfersUrl),
      acceptedReleasesFolder("Brennic Technologies/Talvane Delivery/accepted-releases"),
      nodeChoice(NodeChoice::EarliestFinish),
      requestSlots(16),
      chunkMemoryBudget(32u << 20) {}

}  // namespace tvl
