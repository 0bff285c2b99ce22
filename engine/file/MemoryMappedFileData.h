#pragma once

// A view of one byte range of an open file, read and written in memory: the
// HTTP body of a chunk is copied into it and the chunk's checksum computed over
// it. What is written reaches the file at the latest when the view goes away.
// A view belongs to one user at a time; views of one file over disjoint ranges
// may be used from different threads at once.

#include <cstddef>
#include <cstdint>
#include <functional>

#include "engine/file/BoundedFileData.h"

namespace tvl {

class MemoryMappedFileData : public BoundedFileData {
  public:
    // Receives the view's bytes from the lower bound and their count.
    using ByteRangeFunction = std::function<std::uint64_t(const std::uint8_t* data, std::size_t size)>;

    using BoundedFileData::BoundedFileData;

    // `size` writable bytes at the cursor, which moves past them; null for 0.
    // The bytes hold the file's content until the caller changes them.
    virtual std::uint8_t* Reserve(std::size_t size) = 0;
    // The byte of the lower bound, followed by the rest of the view; the caller
    // may change them.
    virtual std::uint8_t* Data() = 0;
    // Calls the function once over the whole view and returns its result.
    virtual std::uint64_t Apply(const ByteRangeFunction& function) = 0;
    // Brings the view's bytes into memory ahead of a pass over them.
    virtual void Fetch() = 0;
};

}  // namespace tvl
