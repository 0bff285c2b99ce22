#pragma once

// Every component of the transfer engine, built from the settings in this
// order and torn down in reverse, after the transfer manager has suspended
// every transfer it holds (so stored transfers stay restorable). Not
// polymorphic; owned by TransferService.

#include <memory>

#include "engine/service/TransferBehavior.h"
#include "engine/service/TransferSettings.h"

namespace tvl {

class AsioWorkManager;
class CurlHttpRequestFactory;
class EnvironmentHttpProxyFactory;
class JsonHttpAnalyticsManager;
class JsonHttpGeolocationManifestFactory;
class JsonWorkLogManager;
class NullAnalyticsManager;
class PosixSharedFileFactory;
class ProportionalGamblingTransferOptimizer;
class RoundRobinHttpSessionFactory;
class StandardTransferFactory;
class StoredTransferFactory;
class TempFileTransferManager;
class TransferManifest;
class TransferPackageWorkflowFactory;
class VerifyTransferWorkflowFactory;
class XmlHttpNodeListManifestFactory;
class XmlHttpPackageManifestFactory;
template <typename ManifestType>
class JsonTempFileManifestStore;

class TransferServiceImpl {
public:
    explicit TransferServiceImpl(const TransferSettings& settings);
    ~TransferServiceImpl();
    TransferServiceImpl(const TransferServiceImpl&) = delete;
    TransferServiceImpl& operator=(const TransferServiceImpl&) = delete;

    TempFileTransferManager& TransferManager() { return *transferManager_; }
    const TransferBehavior& Behavior() const { return *behavior_; }

private:
    std::unique_ptr<RoundRobinHttpSessionFactory> sessionFactory_;
    std::unique_ptr<EnvironmentHttpProxyFactory> proxyFactory_;
    std::unique_ptr<CurlHttpRequestFactory> requestFactory_;
    std::unique_ptr<PosixSharedFileFactory> sharedFileFactory_;
    std::unique_ptr<XmlHttpPackageManifestFactory> packageManifestFactory_;
    std::unique_ptr<XmlHttpNodeListManifestFactory> nodeListManifestFactory_;
    std::unique_ptr<JsonHttpGeolocationManifestFactory> geolocationManifestFactory_;
    std::unique_ptr<TransferPackageWorkflowFactory> packageWorkflowFactory_;
    std::unique_ptr<VerifyTransferWorkflowFactory> verifyWorkflowFactory_;
    std::unique_ptr<JsonTempFileManifestStore<TransferManifest>> manifestStore_;
    std::unique_ptr<StoredTransferFactory> storedTransferFactory_;
    std::unique_ptr<StandardTransferFactory> standardTransferFactory_;
    std::unique_ptr<TempFileTransferManager> transferManager_;
    std::unique_ptr<ProportionalGamblingTransferOptimizer> optimizer_;
    std::unique_ptr<JsonHttpAnalyticsManager> analyticsManager_;
    std::unique_ptr<NullAnalyticsManager> nullAnalyticsManager_;
    std::unique_ptr<JsonWorkLogManager> logManager_;
    std::unique_ptr<AsioWorkManager> housekeepingWorkManager_;
    std::unique_ptr<AsioWorkManager> workManager_;
    std::unique_ptr<AsioWorkManager> requestWorkManager_;  // null without request slots
    std::unique_ptr<TransferBehavior> behavior_;
    std::unique_ptr<TransferBehavior> verifyBehavior_;
};

}  // namespace tvl
