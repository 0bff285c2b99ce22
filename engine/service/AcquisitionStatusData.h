#pragma once

// The details through which the three acquisition works hand their manifests
// to the transfer: a package, a node list, a geolocation. Each holds a
// manifest that may be null; immutable after construction, safe to read from
// any thread.

#include <memory>
#include <string>

#include "engine/work/WorkStatusData.h"
#include "engine/workflow/TransferStatusData.h"

namespace tvl {

class GeolocationManifest;
class NodeListManifest;
class PackageManifest;

class PackageStatusData : public virtual WorkStatusData {
  public:
    explicit PackageStatusData(std::shared_ptr<PackageManifest> package) : package_(std::move(package)) {}

    // "packageId", "partnerId", "versionId", or "package" = "null".
    void Describe(boost::property_tree::ptree& tree) const override;

    const std::shared_ptr<PackageManifest>& GetPackage() const { return package_; }

  private:
    const std::shared_ptr<PackageManifest> package_;
};

class NodeListStatusData : public virtual WorkStatusData {
  public:
    explicit NodeListStatusData(std::shared_ptr<NodeListManifest> nodeList)
        : nodeList_(std::move(nodeList)) {}

    // "count", or "nodes" = "null".
    void Describe(boost::property_tree::ptree& tree) const override;

    const std::shared_ptr<NodeListManifest>& GetNodeList() const { return nodeList_; }

  private:
    const std::shared_ptr<NodeListManifest> nodeList_;
};

// Also the detail of a geofence refusal, hence a transfer status data.
class GeolocationStatusData : public TransferStatusData {
  public:
    explicit GeolocationStatusData(std::shared_ptr<GeolocationManifest> geolocation)
        : geolocation_(std::move(geolocation)) {}

    TransferError ToTransferError() const override { return TransferError::Geofenced; }
    // "ip" and "country", or "geolocation" = "null" without a country.
    void Describe(boost::property_tree::ptree& tree) const override;
    // "error|10|" and the country code, or "null" without a manifest.
    std::string GetSummary() const override;

    const std::shared_ptr<GeolocationManifest>& GetGeolocation() const { return geolocation_; }

  private:
    const std::shared_ptr<GeolocationManifest> geolocation_;
};

}  // namespace tvl
