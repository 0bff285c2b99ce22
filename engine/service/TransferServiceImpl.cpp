#include "engine/service/TransferServiceImpl.h"

#include <algorithm>
#include <stdexcept>

#include "engine/events/JsonHttpAnalyticsManager.h"
#include "engine/events/JsonWorkLogManager.h"
#include "engine/events/NullAnalyticsManager.h"
#include "engine/file/PosixSharedFileFactory.h"
#include "engine/file/UserDirectories.h"
#include "engine/http/CurlHttpRequestFactory.h"
#include "engine/http/EnvironmentHttpProxyFactory.h"
#include "engine/http/HttpSession.h"
#include "engine/manifest/ManifestFactories.h"
#include "engine/manifest/ManifestVerification.h"
#include "engine/optimizer/EarliestFinishTransferOptimizer.h"
#include "engine/optimizer/ProportionalGamblingTransferOptimizer.h"
#include "engine/security/AcceptedReleases.h"
#include "engine/service/JsonTempFileManifestStore.h"
#include "engine/service/TransferFactory.h"
#include "engine/service/TransferManager.h"
#include "engine/service/TransferManifest.h"
#include "engine/work/AsioWorkManager.h"
#include "engine/workflow/TransferWorkflowFactories.h"

namespace tvl {
namespace {

std::int32_t Signed(std::uint32_t value) {
    return static_cast<std::int32_t>(std::min<std::uint32_t>(value, 0x7FFFFFFF));
}

std::unique_ptr<ProportionalGamblingTransferOptimizer> MakeOptimizer(const TransferSettings& settings) {
    if (settings.nodeChoice == TransferSettings::NodeChoice::EarliestFinish) {
        return std::make_unique<EarliestFinishTransferOptimizer>(settings);
    }
    return std::make_unique<ProportionalGamblingTransferOptimizer>(settings);
}

// Request threads mostly wait on sockets; one per slot lets every transfer's
// slots be in flight without taking the CPU threads.
std::unique_ptr<AsioWorkManager> MakeRequestWorkManager(const TransferSettings& settings) {
    if (settings.requestSlots == 0) {
        return nullptr;
    }
    return std::make_unique<AsioWorkManager>(std::min<std::uint32_t>(settings.requestSlots, 256), false);
}

// Keys that do not parse stop the service rather than let it run without
// them: a deployment that names keys never takes unsigned packages.
std::shared_ptr<const PublisherTrust> MakeTrust(const TransferSettings& settings) {
    std::vector<PublicKey> keys;
    try {
        keys = ParsePublicKeyList(settings.publisherKeys);
    } catch (const KeyError& e) {
        throw std::invalid_argument(std::string("publisher keys: ") + e.what());
    }
    if (keys.empty()) {
        return nullptr;
    }
    return std::make_shared<PublisherTrust>(
        PublisherKeys(std::move(keys)),
        std::make_shared<AcceptedReleases>(ResolveUserPath(settings.acceptedReleasesFolder)));
}

}  // namespace

TransferServiceImpl::TransferServiceImpl(const TransferSettings& settings)
    : sessionFactory_(std::make_unique<RoundRobinHttpSessionFactory>()),
      proxyFactory_(std::make_unique<EnvironmentHttpProxyFactory>()),
      requestFactory_(std::make_unique<CurlHttpRequestFactory>(proxyFactory_.get())),
      sharedFileFactory_(std::make_unique<PosixSharedFileFactory>()),
      packageManifestFactory_(std::make_unique<XmlHttpPackageManifestFactory>(
          settings.manifestHost, requestFactory_.get(), Signed(settings.manifestConnectTimeoutSeconds),
          Signed(settings.manifestTimeoutSeconds))),
      nodeListManifestFactory_(std::make_unique<XmlHttpNodeListManifestFactory>(
          settings.manifestHost, requestFactory_.get(), Signed(settings.manifestConnectTimeoutSeconds),
          Signed(settings.manifestTimeoutSeconds))),
      geolocationManifestFactory_(std::make_unique<JsonHttpGeolocationManifestFactory>(
          settings.geolocationUrl, requestFactory_.get(), Signed(settings.geolocationConnectTimeoutSeconds),
          Signed(settings.geolocationTimeoutSeconds))),
      packageWorkflowFactory_(std::make_unique<TransferPackageWorkflowFactory>()),
      verifyWorkflowFactory_(std::make_unique<VerifyTransferWorkflowFactory>()),
      manifestStore_(std::make_unique<JsonTempFileManifestStore<TransferManifest>>(settings.transfersFolder,
                                                                                   sharedFileFactory_.get())),
      storedTransferFactory_(
          std::make_unique<StoredTransferFactory>(manifestStore_.get(), packageWorkflowFactory_.get())),
      standardTransferFactory_(std::make_unique<StandardTransferFactory>(verifyWorkflowFactory_.get())),
      transferManager_(std::make_unique<TempFileTransferManager>(manifestStore_.get())),
      optimizer_(MakeOptimizer(settings)),
      analyticsManager_(std::make_unique<JsonHttpAnalyticsManager>(
          requestFactory_.get(), sessionFactory_.get(), settings.analyticsEventsUrl, settings.analyticsTransfersUrl,
          settings.analyticsConnectTimeoutSeconds, settings.analyticsTimeoutSeconds, settings.analyticsRetries)),
      nullAnalyticsManager_(std::make_unique<NullAnalyticsManager>()),
      logManager_(std::make_unique<JsonWorkLogManager>(settings.logLevel, settings.logsFolder,
                                                       sharedFileFactory_.get())),
      housekeepingWorkManager_(std::make_unique<AsioWorkManager>(settings.housekeepingThreads, true)),
      workManager_(std::make_unique<AsioWorkManager>(
          static_cast<std::uint32_t>(std::max<std::int32_t>(settings.workThreads, 1)), false)),
      requestWorkManager_(MakeRequestWorkManager(settings)) {
    if (const auto trust = MakeTrust(settings)) {
        packageManifestFactory_->SetTrust(trust);
        nodeListManifestFactory_->SetTrust(trust);
    }
    behavior_ = std::make_unique<TransferBehavior>();
    behavior_->settings = settings;
    behavior_->httpSessionFactory = sessionFactory_.get();
    behavior_->httpRequestFactory = requestFactory_.get();
    behavior_->sharedFileFactory = sharedFileFactory_.get();
    behavior_->packageManifestFactory = packageManifestFactory_.get();
    behavior_->nodeListManifestFactory = nodeListManifestFactory_.get();
    behavior_->geolocationManifestFactory = geolocationManifestFactory_.get();
    behavior_->transferFactory = storedTransferFactory_.get();
    behavior_->transferOptimizer = optimizer_.get();
    behavior_->analyticsManager = analyticsManager_.get();
    behavior_->logManager = logManager_.get();
    behavior_->housekeepingWorkManager = housekeepingWorkManager_.get();
    behavior_->workManager = workManager_.get();
    behavior_->requestWorkManager = requestWorkManager_.get();

    verifyBehavior_ = std::make_unique<TransferBehavior>(*behavior_);
    verifyBehavior_->transferFactory = standardTransferFactory_.get();
    verifyBehavior_->analyticsManager = nullAnalyticsManager_.get();
}

TransferServiceImpl::~TransferServiceImpl() {
    // Suspends every transfer while all components still exist; their
    // workflows are released on the housekeeping manager, which drains below.
    transferManager_->Shutdown();
    verifyBehavior_.reset();
    behavior_.reset();
    requestWorkManager_.reset();
    workManager_.reset();
    housekeepingWorkManager_.reset();
    logManager_.reset();
    nullAnalyticsManager_.reset();
    analyticsManager_.reset();
    optimizer_.reset();
    transferManager_.reset();
    standardTransferFactory_.reset();
    storedTransferFactory_.reset();
    manifestStore_.reset();
    verifyWorkflowFactory_.reset();
    packageWorkflowFactory_.reset();
    geolocationManifestFactory_.reset();
    nodeListManifestFactory_.reset();
    packageManifestFactory_.reset();
    sharedFileFactory_.reset();
    requestFactory_.reset();
    proxyFactory_.reset();
    sessionFactory_.reset();
}

}  // namespace tvl
