#include "engine/manifest/GeolocationManifest.h"

#include <boost/property_tree/ptree.hpp>

#include "engine/manifest/ManifestExceptions.h"
#include "engine/manifest/ManifestValues.h"

namespace tvl {

void StandardGeolocationManifest::Read(const boost::property_tree::ptree& tree) {
    ip_ = RequiredString(tree, "ip");
    countryCode_ = RequiredString(tree, "country_code");
    countryName_ = OptionalString(tree, "country_name", std::string());
    countryCode3_ = OptionalString(tree, "country_code3", std::string());
    continentCode_ = OptionalString(tree, "continent_code", std::string());
    isp_ = OptionalString(tree, "isp", std::string());
    if (ip_.empty() || countryCode_.empty()) {
        throw ManifestParseException();
    }
}

}  // namespace tvl
