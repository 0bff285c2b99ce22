// Feeds arbitrary bytes through the XML parser and the package manifest reader:
// anything but a clean ManifestParseException is a fault.
#include <sstream>
#include <string>

#include <boost/property_tree/ptree.hpp>

#include "engine/manifest/ManifestExceptions.h"
#include "engine/manifest/ManifestParsing.h"
#include "engine/manifest/StandardFileManifest.h"
#include "engine/manifest/StandardPackageManifest.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, unsigned long size) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    try {
        boost::property_tree::ptree tree;
        tvl::ParseXmlManifest(in, tree);
        tvl::StandardPackageManifest manifest;
        manifest.Read(tree);
        for (const auto& file : manifest.GetFiles()) {
            auto& standard = static_cast<const tvl::StandardFileManifest&>(*file);
            const std::uint32_t count = standard.GetChunkCount();
            if (!tvl::IsSafeRelativePath(standard.GetPath()) || standard.GetChecksums().size() != count) {
                __builtin_trap();
            }
            if (count > 0 && standard.GetChunkUpperBound(count - 1) + 1 != standard.GetSize()) {
                __builtin_trap();
            }
        }
        manifest.IsCountryAllowed("DE");
    } catch (const tvl::ManifestParseException&) {
    }
    return 0;
}
