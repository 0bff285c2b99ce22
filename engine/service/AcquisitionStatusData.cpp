#include "engine/service/AcquisitionStatusData.h"

#include <boost/property_tree/ptree.hpp>

#include "engine/manifest/GeolocationManifest.h"
#include "engine/manifest/NodeManifest.h"
#include "engine/manifest/PackageManifest.h"

namespace tvl {

void PackageStatusData::Describe(boost::property_tree::ptree& tree) const {
    if (package_) {
        tree.put("packageId", package_->GetId());
        tree.put("partnerId", package_->GetPartnerId());
        tree.put("versionId", package_->GetVersionId());
    } else {
        tree.put("package", "null");
    }
}

void NodeListStatusData::Describe(boost::property_tree::ptree& tree) const {
    if (nodeList_) {
        tree.put("count", nodeList_->GetNodes().size());
    } else {
        tree.put("nodes", "null");
    }
}

void GeolocationStatusData::Describe(boost::property_tree::ptree& tree) const {
    if (geolocation_ && !geolocation_->GetCountryCode().empty()) {
        tree.put("ip", geolocation_->GetIp());
        tree.put("country", geolocation_->GetCountryCode());
    } else {
        tree.put("geolocation", "null");
    }
}

std::string GeolocationStatusData::GetSummary() const {
    return "error|" + std::to_string(static_cast<unsigned>(TransferError::Geofenced)) + "|" +
           (geolocation_ ? geolocation_->GetCountryCode() : std::string("null"));
}

}  // namespace tvl
