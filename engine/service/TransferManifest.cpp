#include "engine/service/TransferManifest.h"

#include <boost/property_tree/ptree.hpp>

#include "engine/manifest/ManifestExceptions.h"

namespace tvl {
namespace {

std::string ReadValue(const boost::property_tree::ptree& tree, const char* key) {
    const auto child = tree.get_child_optional(boost::property_tree::ptree::path_type(key, '.'));
    // An object or array where a string belongs is not a stored transfer.
    if (!child || !child->empty()) {
        throw ManifestParseException();
    }
    return child->data();
}

}  // namespace

void TransferManifest::Read(const boost::property_tree::ptree& tree) {
    params = TransferParams();
    params.transferId = ReadValue(tree, "transferId");
    params.partnerId = ReadValue(tree, "partnerId");
    params.packageId = ReadValue(tree, "packageId");
    params.versionId = ReadValue(tree, "versionId");
    params.destPath = ReadValue(tree, "destPath");
}

void TransferManifest::Write(boost::property_tree::ptree& tree) const {
    try {
        params.Describe(tree);
    } catch (const std::exception&) {
        throw ManifestParseException();
    }
}

}  // namespace tvl
