// Arbitrary bytes through the JSON parser and the geolocation reader.
#include <sstream>
#include <string>

#include <boost/property_tree/ptree.hpp>

#include "engine/manifest/GeolocationManifest.h"
#include "engine/manifest/ManifestExceptions.h"
#include "engine/manifest/ManifestParsing.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, unsigned long size) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    try {
        boost::property_tree::ptree tree;
        tvl::ParseJsonManifest(in, tree);
        tvl::StandardGeolocationManifest manifest;
        manifest.Read(tree);
        if (manifest.GetIp().empty() || manifest.GetCountryCode().empty()) {
            __builtin_trap();
        }
    } catch (const tvl::ManifestParseException&) {
    }
    return 0;
}
