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

// The most memory a view holds: a longer view streams its bytes through a
// window of this size, so that a chunk of any size costs the same memory.
constexpr std::size_t kViewWindowBytes = 1024 * 1024;

// The memory a view of `length` bytes holds at most.
inline std::uint64_t ViewMemoryBytes(std::uint64_t length) {
    return length < kViewWindowBytes ? length : kViewWindowBytes;
}

class MemoryMappedFileData : public BoundedFileData {
  public:
    // Receives consecutive pieces of the view, from its lower bound on.
    using ByteRangeFunction = std::function<void(const std::uint8_t* data, std::size_t size)>;

    using BoundedFileData::BoundedFileData;

    // `size` writable bytes at the cursor, which moves past them; null for 0.
    // The bytes hold the file's content until the caller changes them. A view
    // longer than its window gives at most a window's worth at once.
    virtual std::uint8_t* Reserve(std::size_t size) = 0;
    // The byte of the lower bound, followed by the rest of the view; the caller
    // may change them. Only for a view no longer than its window.
    virtual std::uint8_t* Data() = 0;
    // Calls the function over the view's bytes, as the file holds them, in
    // consecutive pieces from the lower bound to the upper.
    virtual void Scan(const ByteRangeFunction& function) = 0;
    // The CRC-32 of the view's bytes as the file holds them.
    virtual std::uint32_t Checksum() = 0;
    // Brings the view's bytes into memory ahead of a pass over them.
    virtual void Fetch() = 0;
};

}  // namespace tvl
