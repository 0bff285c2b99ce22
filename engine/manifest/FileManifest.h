#pragma once

// One file of a package version: its path below the destination, its size and
// its division into fixed-size chunks with one CRC-32 each. Immutable once
// read; safe to share between threads.

#include <cstdint>
#include <string>
#include <vector>

#include "engine/manifest/Manifest.h"

namespace tvl {

class FileManifest : public InputManifest {
public:
    virtual const std::string& GetPath() const = 0;
    virtual std::uint32_t GetChunkSize() const = 0;
    virtual std::uint64_t GetSize() const = 0;
    virtual const std::vector<std::uint32_t>& GetChecksums() const = 0;
};

}  // namespace tvl
