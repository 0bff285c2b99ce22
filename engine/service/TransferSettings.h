#pragma once

// Every tunable of the transfer engine, with its default. A plain record copied
// by value; the service and the optimizer each keep their own copy.

#include <cstdint>
#include <string>

namespace tvl {

struct TransferSettings {
    // Defaults; the hosts and URLs come from the compiled-in deployment.
    TransferSettings();

    std::string manifestHost;  // authority: host with optional port
    std::string transfersFolder;  // relative paths resolve under the user's temporary directory
    std::string logsFolder;
    std::int32_t logLevel;
    std::uint32_t manifestRetries;
    std::uint32_t manifestConnectTimeoutSeconds;
    std::uint32_t manifestTimeoutSeconds;
    std::int32_t chunkRetries;
    std::int32_t chunkRequestRetries;
    std::uint32_t minConnectTimeoutSeconds;
    std::uint32_t maxConnectTimeoutSeconds;
    std::int32_t explorationConnectTimeoutSeconds;
    std::uint32_t minTimeoutSeconds;
    std::uint32_t explorationMinTimeoutSeconds;
    std::uint32_t minBytesPerSecond;
    std::uint32_t explorationBytesPerSecond;
    std::uint32_t minLowSpeedTimeSeconds;
    std::uint32_t maxLowSpeedTimeSeconds;
    std::uint32_t explorationLowSpeedTimeSeconds;
    std::int32_t rateWindowSeconds;
    std::uint32_t estimateIntervalMs;
    std::uint32_t housekeepingThreads;
    std::int32_t workThreads;
    std::uint32_t maxRunningWorks;
    std::uint32_t parallelWorks;
    std::uint32_t proxyResolveTimeoutMs;
    std::uint32_t proxyConnectTimeoutMs;
    std::uint32_t proxyReceiveTimeoutMs;
    std::uint32_t analyticsConnectTimeoutSeconds;
    std::uint32_t analyticsTimeoutSeconds;
    std::uint32_t analyticsRetries;
    std::uint32_t periodicUpdateSeconds;
    std::uint32_t trialsPerNode;
    std::uint32_t maxTrials;
    double statisticsSmoothing;
    double minSelectionProbability;
    std::string geolocationUrl;
    std::uint32_t geolocationConnectTimeoutSeconds;
    std::uint32_t geolocationTimeoutSeconds;
    std::uint32_t geolocationRetries;
    // The analytics service's events and transfers endpoints: http URLs
    // without a path. Deployment values, settings so that tests and tools can
    // point them elsewhere.
    std::string analyticsEventsUrl;
    std::string analyticsTransfersUrl;

    // The publisher's public keys ("ed25519:..." separated by blanks). Empty
    // by default: the programs that serve a deployment set its keys, so that
    // trust follows the hosts they point the engine at. With none, manifests and chunks are taken on their
    // CRC-32 as they always were; with any, every package manifest and node
    // list must be signed by one of them and every chunk must match its
    // SHA-256. Two keys at once let a publisher rotate.
    std::string publisherKeys;
    // Where the issue time of the newest signed release accepted per package
    // is kept; resolved like transfersFolder.
    std::string acceptedReleasesFolder;

    // How chunk requests are scheduled. The defaults keep many requests in
    // flight on the nodes that finish them soonest; requestSlots 0 with
    // NodeChoice::Gambling is the original scheduling, where every request
    // holds a work thread and each one draws its node with a floor on every
    // node's chance.
    enum class NodeChoice : std::uint8_t {
        Gambling = 0,        // a fresh bet on the fastest node for every request
        EarliestFinish = 1,  // the node that would finish this request soonest, given what it already serves
    };
    NodeChoice nodeChoice;
    // Chunk requests one transfer keeps in flight, on threads of their own
    // that do not count against workThreads or maxRunningWorks; 0 runs
    // requests on the work threads.
    std::uint32_t requestSlots;
    // Memory of chunk views one transfer may hold at once (a view holds at
    // most kViewWindowBytes, however long its chunk), so that more requests in
    // flight or more files being checked do not mean unbounded memory. A file
    // always gets one chunk at a time whatever the budget says.
    std::uint64_t chunkMemoryBudget;
};

// The engine's default parallelism: the hardware threads (at least 1) plus 2.
std::uint32_t DefaultEngineParallelism(unsigned hardwareThreads);

}  // namespace tvl
