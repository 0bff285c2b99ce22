#include "engine/manifest/PackageVersionManifest.h"

#include <boost/property_tree/ptree.hpp>

#include "engine/manifest/ManifestExceptions.h"
#include "engine/manifest/ManifestValues.h"

namespace tvl {

PackageVersionManifest::PackageVersionManifest() : policy_(GeofencePolicy::Unset) {}

void PackageVersionManifest::Read(const boost::property_tree::ptree& tree) {
    std::vector<std::string> codes;
    if (const auto list = tree.get_child_optional("countryCodes")) {
        for (const auto& child : *list) {
            if (child.first != "countryCode") {
                throw ManifestParseException();
            }
            codes.push_back(child.second.data());
        }
    }
    Read(tree, std::move(codes));
}

void PackageVersionManifest::Read(const boost::property_tree::ptree& tree, std::vector<std::string> countryCodes) {
    id_ = RequiredString(tree, "id");
    run_ = OptionalString(tree, "run", std::string());

    const std::string policy = OptionalString(tree, "policy", std::string());
    if (policy.empty()) {
        policy_ = GeofencePolicy::Unset;
    } else if (policy == "None") {
        policy_ = GeofencePolicy::None;
    } else if (policy == "Whitelist") {
        policy_ = GeofencePolicy::Whitelist;
    } else if (policy == "Blacklist") {
        policy_ = GeofencePolicy::Blacklist;
    } else {
        throw ManifestParseException();
    }

    countryCodes_ = std::move(countryCodes);

    if (id_.empty() || (!countryCodes_.empty() && policy_ == GeofencePolicy::Unset)) {
        throw ManifestParseException();
    }
    for (const std::string& code : countryCodes_) {
        if (code.size() != 2) {
            throw ManifestParseException();
        }
    }
    if (policy_ == GeofencePolicy::Unset) {
        policy_ = GeofencePolicy::None;
    }
}

}  // namespace tvl
