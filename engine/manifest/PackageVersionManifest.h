#pragma once

// The "version" element of a package manifest: the version's id, its run file
// and its geofence rule.

#include <cstdint>
#include <string>
#include <vector>

#include "engine/manifest/Manifest.h"

namespace tvl {

enum class GeofencePolicy : std::uint8_t { Unset = 0, None = 1, Whitelist = 2, Blacklist = 3 };

class PackageVersionManifest : public InputManifest {
public:
    PackageVersionManifest();

    void Read(const boost::property_tree::ptree& tree) override;
    // The same with the codes of the element's "countryCodes" already taken
    // out of it (a streamed document's); `tree` holds its other values.
    void Read(const boost::property_tree::ptree& tree, std::vector<std::string> countryCodes);

    const std::string& GetId() const { return id_; }
    std::string GetRun() const { return run_; }
    GeofencePolicy GetPolicy() const { return policy_; }
    const std::vector<std::string>& GetCountryCodes() const { return countryCodes_; }

private:
    std::string id_;
    std::string run_;
    GeofencePolicy policy_;
    std::vector<std::string> countryCodes_;
};

}  // namespace tvl
