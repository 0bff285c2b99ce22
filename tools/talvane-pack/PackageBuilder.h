#pragma once

// Turns a folder into a package the servers can deliver: the package manifest
// (one CRC-32 per chunk, files in a stable order), optionally current.xml and
// the node list, and the files under the node path, in the content-root
// layout that talvane-cdn and any static HTTP server serve. With a publisher's
// private key, every chunk also gets a SHA-256 in the manifest and every
// document a detached signature beside it. One builder per run; Build hashes
// on all cores.

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/security/Sha256.h"

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
    std::vector<std::string> nodes;  // [https://]host[:port]
    std::string nodePath = "/packages/";
    std::vector<std::uint32_t> weights;
    unsigned threads = 0;  // 0: every core
    std::string signKey;   // the publisher's private key file; empty: unsigned
    std::optional<std::int64_t> issued;          // seconds since 1970; default now
    std::optional<std::uint32_t> expiresInDays;  // none: the signatures never expire
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
    std::vector<Sha256Digest> digests;  // per chunk, only when signing
};

struct PackResult {
    std::vector<PackedFile> files;
    std::uint64_t totalBytes = 0;
    std::string manifestPath;
    std::vector<std::string> signaturePaths;  // in the order written
};

PackResult BuildPackage(const PackageOptions& options);

// Makes an Ed25519 key pair: the private key in `privatePath` (mode 0600),
// its public key text in `privatePath` + ".pub". Refuses to replace either
// file. Returns the public key text.
std::string MakeKeyPair(const std::string& privatePath);

}  // namespace tvl::pack
