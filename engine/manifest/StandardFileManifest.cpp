#include "engine/manifest/StandardFileManifest.h"

#include <boost/property_tree/ptree.hpp>
#include <limits>

#include "engine/manifest/ManifestExceptions.h"
#include "engine/manifest/ManifestValues.h"

namespace tvl {
namespace {

constexpr std::uint64_t kMaxChunkCount = 0x1FFFFFFF;

std::uint64_t ChunkCount(std::uint64_t size, std::uint32_t chunkSize) {
    if (chunkSize == 0) {
        return 0;
    }
    if (size > std::numeric_limits<std::uint64_t>::max() - (chunkSize - 1)) {
        throw ManifestOverflowException();
    }
    const std::uint64_t count = (size + chunkSize - 1) / chunkSize;
    if (count > kMaxChunkCount) {
        throw ManifestOverflowException();
    }
    return count;
}

}  // namespace

bool IsSafeRelativePath(const std::string& path) {
    if (path.empty() || path.front() == '/') {
        return false;
    }
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) {
            end = path.size();
        }
        const std::string segment = path.substr(start, end - start);
        if (segment.empty() || segment == "." || segment == "..") {
            return false;
        }
        start = end + 1;
    }
    for (char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || c == '\\' || c == '"') {
            return false;
        }
    }
    return true;
}

StandardFileManifest::StandardFileManifest() : chunkSize_(0), size_(0) {}

void StandardFileManifest::Read(const boost::property_tree::ptree& tree) {
    WithManifestParseErrors([&] {
        path_ = RequiredString(tree, "path");
        chunkSize_ = static_cast<std::uint32_t>(
            RequiredDecimal(tree, "chunksize", std::numeric_limits<std::uint32_t>::max()));
        size_ = RequiredDecimal(tree, "size", std::numeric_limits<std::uint64_t>::max());

        checksums_.clear();
        const std::uint64_t count = ChunkCount(size_, chunkSize_);
        const std::string& text = RequiredString(tree, "checksums");
        // The text length is checked before anything is reserved: the count
        // comes from the server and may be huge.
        if (text.size() == count * 8) {
            checksums_.reserve(count);
            for (std::uint64_t i = 0; i < count; ++i) {
                std::uint32_t value = 0;
                for (std::size_t j = 0; j < 8; ++j) {
                    const int digit = HexDigitValue(text[i * 8 + j]);
                    if (digit < 0) {
                        throw ManifestParseException();
                    }
                    value = (value << 4) | static_cast<std::uint32_t>(digit);
                }
                checksums_.push_back(value);
            }
        }
        if (!IsSafeRelativePath(path_) || chunkSize_ == 0 || checksums_.size() != count) {
            throw ManifestParseException();
        }
        ReadDigests(tree.get_optional<std::string>("sha256"), count);
    });
}

void StandardFileManifest::ReadDigests(const boost::optional<std::string>& text, std::uint64_t count) {
    digests_.clear();
    hasDigests_ = false;
    constexpr std::size_t kDigits = 2 * sizeof(Sha256Digest);
    if (!text || text->size() != count * kDigits) {
        return;
    }
    std::vector<Sha256Digest> digests(count);
    for (std::uint64_t i = 0; i < count; ++i) {
        if (!ParseSha256Hex(std::string_view(*text).substr(i * kDigits, kDigits), digests[i])) {
            return;
        }
    }
    digests_ = std::move(digests);
    hasDigests_ = true;
}

std::uint32_t StandardFileManifest::GetChunkCount() const {
    return static_cast<std::uint32_t>(ChunkCount(size_, chunkSize_));
}

std::uint64_t StandardFileManifest::GetChunkLowerBound(std::uint32_t index) const {
    if (index >= GetChunkCount()) {
        return size_ + 1;
    }
    return static_cast<std::uint64_t>(index) * chunkSize_;
}

std::uint64_t StandardFileManifest::GetChunkUpperBound(std::uint32_t index) const {
    if (index >= GetChunkCount()) {
        return size_;
    }
    const std::uint64_t end = (static_cast<std::uint64_t>(index) + 1) * chunkSize_;
    return std::min(end, size_) - 1;
}

}  // namespace tvl
