// Feeds arbitrary bytes to both package manifest readers, the tree and the
// streamed one: anything but a clean ManifestParseException is a fault, and
// so is a document both accept but read differently.
#include <sstream>
#include <string>

#include <boost/property_tree/ptree.hpp>

#include "engine/manifest/ManifestExceptions.h"
#include "engine/manifest/ManifestParsing.h"
#include "engine/manifest/StandardFileManifest.h"
#include "engine/manifest/StandardPackageManifest.h"

namespace {

void Check(const tvl::StandardPackageManifest& manifest) {
    for (const auto& file : manifest.GetFiles()) {
        auto& standard = static_cast<const tvl::StandardFileManifest&>(*file);
        const std::uint32_t count = standard.GetChunkCount();
        if (!tvl::IsSafeRelativePath(standard.GetPath()) || standard.GetChecksums().size() != count) {
            __builtin_trap();
        }
        if (count > 0 && standard.GetChunkUpperBound(count - 1) + 1 != standard.GetSize()) {
            __builtin_trap();
        }
        // The strong digests are there for every chunk or not at all.
        if (standard.HasDigests() ? standard.GetDigests().size() != count : !standard.GetDigests().empty()) {
            __builtin_trap();
        }
    }
    manifest.IsCountryAllowed("DE");
}

std::string Describe(const tvl::StandardPackageManifest& manifest) {
    std::ostringstream out;
    out << manifest.GetId() << '|' << manifest.GetName() << '|' << manifest.GetPartnerId() << '|'
        << manifest.GetVersionId() << '|' << manifest.GetRun() << '|' << manifest.IsActive() << '|'
        << manifest.IsCountryAllowed("DE") << manifest.IsCountryAllowed("US");
    for (const auto& file : manifest.GetFiles()) {
        out << '\n' << file->GetPath() << ' ' << file->GetSize() << ' ' << file->GetChunkSize();
        for (const std::uint32_t sum : file->GetChecksums()) {
            out << ' ' << sum;
        }
        for (const tvl::Sha256Digest& digest : static_cast<const tvl::StandardFileManifest&>(*file).GetDigests()) {
            out << ' ' << tvl::ToHex(digest);
        }
    }
    return out.str();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, unsigned long size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string fromTree;
    try {
        std::istringstream in(text);
        boost::property_tree::ptree tree;
        tvl::ParseXmlManifest(in, tree);
        tvl::StandardPackageManifest manifest;
        manifest.Read(tree);
        Check(manifest);
        fromTree = Describe(manifest);
    } catch (const tvl::ManifestParseException&) {
    }
    try {
        tvl::StandardPackageManifest manifest;
        manifest.ReadXml(text);
        Check(manifest);
        // The streamed reader refuses what is not well-formed XML, which the
        // tree reader lets through; what both take they must read alike.
        if (!fromTree.empty() && Describe(manifest) != fromTree) {
            __builtin_trap();
        }
    } catch (const tvl::ManifestParseException&) {
    }
    return 0;
}
