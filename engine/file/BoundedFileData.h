#pragma once

// Bytes of a file restricted to an inclusive range [lower, upper], read and
// written at a cursor. Every access outside the range fails with
// FileOutOfBoundsException before anything is touched. Instances are not
// locked: one user at a time unless the implementation says otherwise.

#include <cstddef>
#include <cstdint>

namespace tvl {

class BoundedFileData {
  public:
    BoundedFileData(std::uint64_t lowerBound, std::uint64_t upperBound)
        : lowerBound_(lowerBound), upperBound_(upperBound) {}
    virtual ~BoundedFileData() = default;
    BoundedFileData(const BoundedFileData&) = delete;
    BoundedFileData& operator=(const BoundedFileData&) = delete;

    // The absolute position of the cursor.
    virtual std::uint64_t Tell() = 0;
    virtual void Seek(std::uint64_t position) = 0;
    virtual std::size_t Read(void* buffer, std::size_t size) = 0;
    virtual std::size_t Write(const void* buffer, std::size_t size) = 0;

    std::uint64_t GetLowerBound() const { return lowerBound_; }
    std::uint64_t GetUpperBound() const { return upperBound_; }

    // Throws FileOutOfBoundsException unless lower <= first <= last <= upper.
    void CheckBounds(std::uint64_t first, std::uint64_t last) const;

    // CheckBounds for `size` (> 0) bytes from `first`; a range whose end does
    // not fit in 64 bits is out of bounds too.
    void CheckRange(std::uint64_t first, std::uint64_t size) const;

  private:
    const std::uint64_t lowerBound_;
    const std::uint64_t upperBound_;
};

}  // namespace tvl
