// Arbitrary bytes through the XML parser and the node list reader.
#include <sstream>
#include <string>

#include <boost/property_tree/ptree.hpp>

#include "engine/manifest/ManifestExceptions.h"
#include "engine/manifest/ManifestParsing.h"
#include "engine/manifest/NodeManifest.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, unsigned long size) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    try {
        boost::property_tree::ptree tree;
        tvl::ParseXmlManifest(in, tree);
        tvl::StandardNodeListManifest list;
        list.Read(tree);
        for (const auto& node : list.GetNodes()) {
            if (node->GetWeight() == 0 || !tvl::ParseServerAddress(node->GetHost()) || node->GetPath().empty() ||
                node->GetPath().front() != '/' || node->GetPath().back() != '/') {
                __builtin_trap();
            }
            boost::property_tree::ptree out;
            node->Write(out);
        }
    } catch (const tvl::ManifestParseException&) {
    }
    return 0;
}
