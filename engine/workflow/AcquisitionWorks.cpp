#include "engine/workflow/AcquisitionWorks.h"

#include <boost/property_tree/ptree.hpp>
#include <new>
#include <stdexcept>

#include "engine/manifest/GeolocationManifest.h"
#include "engine/manifest/ManifestExceptions.h"
#include "engine/manifest/ManifestFactories.h"
#include "engine/manifest/ManifestSource.h"
#include "engine/manifest/NodeManifest.h"
#include "engine/manifest/PackageManifest.h"
#include "engine/service/AcquisitionStatusData.h"
#include "engine/service/TransferBehavior.h"
#include "engine/service/TransferParams.h"
#include "engine/service/TransferWorkInterface.h"
#include "engine/service/UnsetValue.h"
#include "engine/workflow/TransferStatusData.h"

namespace tvl {

// AcquireManifestWork

AcquireManifestWork::AcquireManifestWork(std::shared_ptr<TransferWorkInterface> interface,
                                         std::uint32_t maxRetries, WorkCompleteCallback* callback)
    : TransferWork(std::move(interface)), LimitedRetrySimpleWork(maxRetries, callback) {}

void AcquireManifestWork::RegisterLogCallbacks() {
    const TransferBehavior& behavior = interface_->GetBehavior();
    AddLogCompleteCallback(*this, behavior);
    AddLogRetryCallback(*this, behavior);
}

void AcquireManifestWork::SetCurrentSource(std::shared_ptr<HttpManifestSource> source) {
    std::lock_guard<std::mutex> lock(mutex_);
    currentSource_ = std::move(source);
}

void AcquireManifestWork::Abort() {
    std::shared_ptr<HttpManifestSource> source;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        source = currentSource_;
    }
    if (source) {
        source->Abort();
    }
}

WorkStatus AcquireManifestWork::ExecuteTask() {
    try {
        return Acquire();
    } catch (const ManifestAbortedException&) {
        return WorkStatus(WorkResult::Cancelled);
    } catch (const ManifestStreamException&) {
        return OnStreamFailure(std::current_exception());
    } catch (const ManifestVerificationException&) {
        // Not the content's fault but an attack or a publishing mistake: the
        // user is told the download could not be verified.
        return WorkStatus(WorkResult::Error,
                          CreateTransferExceptionData(std::current_exception(), TransferError::AuthenticityError));
    } catch (const ManifestException&) {
        return OnContentFailure(std::current_exception());
    } catch (...) {
        return CurrentExceptionStatus(TransferError::InternalError);
    }
}

WorkStatus AcquireManifestWork::OnStreamFailure(std::exception_ptr exception) {
    return WorkStatus(WorkResult::RetryableError,
                      CreateTransferExceptionData(std::move(exception), TransferError::ConnectionError));
}

WorkStatus AcquireManifestWork::OnContentFailure(std::exception_ptr exception) {
    return WorkStatus(WorkResult::Error,
                      CreateTransferExceptionData(std::move(exception), TransferError::ContentError));
}

// GetPackageManifestWork

std::shared_ptr<GetPackageManifestWork> GetPackageManifestWork::Create(
    std::shared_ptr<TransferWorkInterface> interface, std::uint32_t maxRetries) {
    return std::make_shared<GetPackageManifestWork>(Token(), std::move(interface), maxRetries);
}

GetPackageManifestWork::GetPackageManifestWork(Token, std::shared_ptr<TransferWorkInterface> interface,
                                               std::uint32_t maxRetries)
    : AcquireManifestWork(interface, maxRetries, interface->GetPackageAcquireCallback()) {
    RegisterLogCallbacks();
}

void GetPackageManifestWork::Describe(boost::property_tree::ptree& tree) const {
    tree.put("name", "GetPackageManifestWork");
    tree.put("important", IsImportant());
    DescribeTransfer(tree);
}

WorkStatus GetPackageManifestWork::Acquire() {
    const TransferParams params = interface_->CopyParams();
    std::string key = params.packageId;
    if (!params.versionId.empty() && !IsUnspecified(params.versionId)) {
        key += "/" + params.versionId;
    }
    PackageManifestFactory* factory = interface_->GetBehavior().packageManifestFactory;
    if (factory == nullptr) {
        throw std::logic_error("GetPackageManifestWork::ExecuteTask has no package manifest factory");
    }
    std::shared_ptr<ManifestSource> source;
    if (auto* http = dynamic_cast<HttpPackageManifestFactory*>(factory)) {
        auto httpSource = http->CreateSource(key, interface_->GetHttpSession());
        SetCurrentSource(httpSource);
        source = std::move(httpSource);
    } else {
        source = factory->CreateSource(key);
    }
    if (IsCancelled()) {
        return WorkStatus(WorkResult::Cancelled);
    }
    std::shared_ptr<PackageManifest> manifest = factory->LoadManifest(source, key);
    if (!manifest) {
        throw std::logic_error("GetPackageManifestWork::ExecuteTask loaded no manifest");
    }
    if (manifest->IsActive()) {
        return WorkStatus(WorkResult::Success, std::make_shared<PackageStatusData>(std::move(manifest)));
    }
    return TransferErrorStatus(TransferError::ContentError,
                               "GetPackageManifestWork::ExecuteTask acquired a disabled manifest");
}

// GetNodeListWork

std::shared_ptr<GetNodeListWork> GetNodeListWork::Create(std::shared_ptr<TransferWorkInterface> interface,
                                                         std::uint32_t maxRetries) {
    return std::make_shared<GetNodeListWork>(Token(), std::move(interface), maxRetries);
}

GetNodeListWork::GetNodeListWork(Token, std::shared_ptr<TransferWorkInterface> interface,
                                 std::uint32_t maxRetries)
    : AcquireManifestWork(interface, maxRetries, interface->GetNodeListAcquireCallback()) {
    RegisterLogCallbacks();
}

void GetNodeListWork::Describe(boost::property_tree::ptree& tree) const {
    tree.put("name", "GetNodeListWork");
    tree.put("important", IsImportant());
    DescribeTransfer(tree);
}

WorkStatus GetNodeListWork::Acquire() {
    const std::string key = interface_->CopyParams().partnerId;
    NodeListManifestFactory* factory = interface_->GetBehavior().nodeListManifestFactory;
    if (factory == nullptr) {
        throw std::logic_error("GetNodeListWork::ExecuteTask has no node list factory");
    }
    std::shared_ptr<ManifestSource> source;
    if (auto* http = dynamic_cast<HttpNodeListManifestFactory*>(factory)) {
        auto httpSource = http->CreateSource(key, interface_->GetHttpSession());
        SetCurrentSource(httpSource);
        source = std::move(httpSource);
    } else {
        source = factory->CreateSource(key);
    }
    if (IsCancelled()) {
        return WorkStatus(WorkResult::Cancelled);
    }
    return WorkStatus(WorkResult::Success,
                      std::make_shared<NodeListStatusData>(factory->LoadManifest(source, key)));
}

// GetGeolocationWork

std::shared_ptr<GetGeolocationWork> GetGeolocationWork::Create(
    std::shared_ptr<TransferWorkInterface> interface, std::uint32_t maxRetries) {
    return std::make_shared<GetGeolocationWork>(Token(), std::move(interface), maxRetries);
}

GetGeolocationWork::GetGeolocationWork(Token, std::shared_ptr<TransferWorkInterface> interface,
                                       std::uint32_t maxRetries)
    : AcquireManifestWork(interface, maxRetries, interface->GetGeolocationCallback()) {
    RegisterLogCallbacks();
}

void GetGeolocationWork::Describe(boost::property_tree::ptree& tree) const {
    tree.put("name", "GetGeolocationWork");
    tree.put("important", IsImportant());
    DescribeTransfer(tree);
}

WorkStatus GetGeolocationWork::Acquire() {
    GeolocationManifestFactory* factory = interface_->GetBehavior().geolocationManifestFactory;
    if (factory == nullptr) {
        throw std::logic_error("GetGeolocationWork::ExecuteTask has no geolocation factory");
    }
    std::shared_ptr<ManifestSource> source;
    if (auto* http = dynamic_cast<HttpGeolocationManifestFactory*>(factory)) {
        auto httpSource = http->CreateSource(interface_->GetHttpSession());
        SetCurrentSource(httpSource);
        source = std::move(httpSource);
    } else {
        source = factory->CreateSource();
    }
    if (IsCancelled()) {
        return WorkStatus(WorkResult::Cancelled);
    }
    return WorkStatus(WorkResult::Success,
                      std::make_shared<GeolocationStatusData>(factory->LoadManifest(source)));
}

WorkStatus GetGeolocationWork::OnStreamFailure(std::exception_ptr exception) {
    if (GetRetries() < GetMaxRetries()) {
        return AcquireManifestWork::OnStreamFailure(std::move(exception));
    }
    return Fallback();
}

WorkStatus GetGeolocationWork::OnContentFailure(std::exception_ptr) {
    return Fallback();
}

WorkStatus GetGeolocationWork::Fallback() {
    try {
        return WorkStatus(WorkResult::Success, std::make_shared<GeolocationStatusData>(
                                                   std::make_shared<StandardGeolocationManifest>()));
    } catch (...) {
        return CurrentExceptionStatus(TransferError::InternalError);
    }
}

// GeofenceWork

std::shared_ptr<GeofenceWork> GeofenceWork::Create(std::shared_ptr<TransferWorkInterface> interface) {
    return std::make_shared<GeofenceWork>(Token(), std::move(interface));
}

GeofenceWork::GeofenceWork(Token, std::shared_ptr<TransferWorkInterface> interface)
    : TransferWork(std::move(interface)) {
    AddLogCompleteCallback(*this, interface_->GetBehavior());
}

void GeofenceWork::Describe(boost::property_tree::ptree& tree) const {
    tree.put("name", "GeofenceWork");
    tree.put("important", IsImportant());
    DescribeTransfer(tree);
}

WorkStatus GeofenceWork::ExecuteTask() {
    const std::shared_ptr<PackageManifest> package = interface_->GetPackage();
    const std::shared_ptr<GeolocationManifest> geolocation = interface_->GetGeolocation();
    if (!package || !geolocation) {
        return TransferErrorStatus(TransferError::InternalError,
                                   "GeofenceWork::ExecuteTask called without package or geolocation");
    }
    const std::string& country = geolocation->GetCountryCode();
    if (package->IsCountryAllowed(country)) {
        return WorkStatus(WorkResult::Success);
    }
    return TransferErrorStatus(TransferError::Geofenced, "Geofence|" + country);
}

}  // namespace tvl
