// Arbitrary bytes as the text of a stored transfer file, read the way the
// manifest store reads one once it has fetched the file: the JSON manifest
// parser, then TransferManifest::Read. A read either fails with
// ManifestParseException alone, or gives parameters that survive being stored
// again (written in the store's form, the library's writer without
// indentation, and read back), since a restored transfer that starts anew is
// saved from exactly these parameters.
#include <sstream>
#include <string>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include "engine/manifest/ManifestExceptions.h"
#include "engine/manifest/ManifestParsing.h"
#include "engine/service/TransferManifest.h"

namespace {

bool SameStrings(const tvl::TransferParams& a, const tvl::TransferParams& b) {
    return a.transferId == b.transferId && a.partnerId == b.partnerId && a.packageId == b.packageId &&
           a.versionId == b.versionId && a.destPath == b.destPath;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, unsigned long size) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    tvl::TransferManifest manifest;
    try {
        boost::property_tree::ptree tree;
        tvl::ParseJsonManifest(in, tree);
        manifest.Read(tree);
    } catch (const tvl::ManifestParseException&) {
        return 0;
    }
    // Only the five strings are stored; the rest starts from its defaults.
    if (manifest.params.suspended || manifest.params.transferType != 0) {
        __builtin_trap();
    }

    boost::property_tree::ptree written;
    manifest.Write(written);
    std::stringstream text;
    boost::property_tree::write_json(text, written, false);

    // No exception is caught here: the engine's own output must read back.
    tvl::TransferManifest again;
    boost::property_tree::ptree reread;
    tvl::ParseJsonManifest(text, reread);
    again.Read(reread);
    if (!SameStrings(manifest.params, again.params) || again.params.suspended || again.params.transferType != 0) {
        __builtin_trap();
    }
    return 0;
}
