#pragma once

#include <boost/optional/optional_fwd.hpp>

#include "engine/manifest/FileManifest.h"
#include "engine/security/Sha256.h"

namespace tvl {

// A file manifest read from a "file" element. Paths must stay below the
// destination folder: absolute paths, empty, "." or ".." segments, backslashes,
// control characters and double quotes are refused.
class StandardFileManifest : public FileManifest {
public:
    StandardFileManifest();

    void Read(const boost::property_tree::ptree& tree) override;
    const std::string& GetPath() const override { return path_; }
    std::uint32_t GetChunkSize() const override { return chunkSize_; }
    std::uint64_t GetSize() const override { return size_; }
    const std::vector<std::uint32_t>& GetChecksums() const override { return checksums_; }

    // ceiling(size / chunksize); 0 for a chunk size of 0. Throws
    // ManifestOverflowException beyond 0x1FFFFFFF chunks.
    std::uint32_t GetChunkCount() const;
    // Inclusive byte range of a chunk; an index at or past the count gives the
    // empty span (size + 1, size).
    std::uint64_t GetChunkLowerBound(std::uint32_t index) const;
    std::uint64_t GetChunkUpperBound(std::uint32_t index) const;

    // The SHA-256 of each chunk from the optional "sha256" value (64 hex
    // digits per chunk), which a publisher's signature extends to every
    // chunk. Readers without publisher keys never look at it, so a value
    // that does not fit the chunks leaves HasDigests false rather than
    // refusing the manifest.
    bool HasDigests() const { return hasDigests_; }
    const std::vector<Sha256Digest>& GetDigests() const { return digests_; }

private:
    void ReadDigests(const boost::optional<std::string>& text, std::uint64_t count);

    std::string path_;
    std::uint32_t chunkSize_;
    std::uint64_t size_;
    std::vector<std::uint32_t> checksums_;
    std::vector<Sha256Digest> digests_;
    bool hasDigests_ = false;
};

// Whether a manifest's file path is a safe relative path ("a/b.bin").
bool IsSafeRelativePath(const std::string& path);

}  // namespace tvl
