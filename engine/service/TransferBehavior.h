#pragma once

// Which components and which settings every part of a transfer uses: a full
// copy of the settings and twelve components. Copied freely into every
// transfer, work and event; the component pointers are not owned, and the
// service that owns the components outlives every holder of a copy.

#include "engine/service/TransferSettings.h"

namespace tvl {

class AnalyticsManager;
class EventManager;
class GeolocationManifestFactory;
class HttpRequestFactory;
class HttpSessionFactory;
class NodeListManifestFactory;
class PackageManifestFactory;
class SharedFileFactory;
class TransferFactory;
class TransferOptimizer;
class WorkManager;

class TransferBehavior {
  public:
    TransferBehavior() = default;
    TransferBehavior(const TransferBehavior&) = default;
    TransferBehavior& operator=(const TransferBehavior&) = default;
    virtual ~TransferBehavior() = default;

    TransferSettings settings;
    HttpSessionFactory* httpSessionFactory = nullptr;
    HttpRequestFactory* httpRequestFactory = nullptr;
    SharedFileFactory* sharedFileFactory = nullptr;
    PackageManifestFactory* packageManifestFactory = nullptr;
    NodeListManifestFactory* nodeListManifestFactory = nullptr;
    GeolocationManifestFactory* geolocationManifestFactory = nullptr;
    TransferFactory* transferFactory = nullptr;
    TransferOptimizer* transferOptimizer = nullptr;
    AnalyticsManager* analyticsManager = nullptr;
    EventManager* logManager = nullptr;
    WorkManager* housekeepingWorkManager = nullptr;
    WorkManager* workManager = nullptr;
    // Runs the chunk requests when settings.requestSlots is not 0; null
    // otherwise, and then requests run on workManager.
    WorkManager* requestWorkManager = nullptr;
};

}  // namespace tvl
