#pragma once

// Turns a folder into a package the servers can deliver: the package manifest
// (one CRC-32 per chunk, files in a stable order), optionally current.xml and
// the node list, and the files under the node path, in the content-root
// layout that talvane-cdn and any static HTTP server serve. One builder per
// run; Build hashes on all cores.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace tvl::pack {

struct PackageOptions {
    std::string input;   // the folder to pack
    std::string output;  // the content root
    std::string partnerId;
    std::string packageId;
    std::string versionId;
    std::string name;
    std::string run;  // relative path of the run file, empty for none
    std::uint32_t chunkSize = 1u << 20;
    std::string policy;  // empty, "None", "Whitelist" or "Blacklist"
    std::vector<std::string> countries;
    bool inactive = false;
    bool current = false;
    std::vector<std::string> nodes;  // host:port
    std::string nodePath = "/packages/";
    std::vector<std::uint32_t> weights;
    unsigned threads = 0;  // 0: every core
};

// Input the builder cannot represent safely, or a failure writing the output.
class PackError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct PackedFile {
    std::string path;  // relative, "/"-separated
    std::string source;
    std::uint64_t size = 0;
    std::vector<std::uint32_t> checksums;
};

struct PackResult {
    std::vector<PackedFile> files;
    std::uint64_t totalBytes = 0;
    std::string manifestPath;
};

PackResult BuildPackage(const PackageOptions& options);

// Parses the command line into options; throws PackError with a usage
// message for anything it cannot accept.
PackageOptions ParsePackArguments(const std::vector<std::string>& arguments);

}  // namespace tvl::pack
