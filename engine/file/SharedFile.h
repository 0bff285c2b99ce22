#pragma once

// An open file restricted to a byte range: every read, write, seek and view
// must stay inside [lower, upper]. A file bound to its factory's shared lock
// serialises its reads, writes, allocation and closing (and the loading and
// write-back of its views) on that lock and may be shared between threads;
// a file without the lock belongs to one thread at a time.

#include <cstdint>
#include <memory>

#include "engine/file/BoundedFileData.h"

namespace tvl {

class FileOperationContext;
class MemoryMappedFileData;

class SharedFile : public BoundedFileData {
  public:
    SharedFile(std::uint64_t lowerBound, std::uint64_t upperBound, std::shared_ptr<FileOperationContext> lock)
        : BoundedFileData(lowerBound, upperBound), lock_(std::move(lock)) {}

    virtual std::uint64_t GetSize() = 0;
    // Gives an empty file its final length ahead of any write, so that a full
    // disk shows here rather than in the middle of a transfer. False, changing
    // nothing, when the file is not empty.
    virtual bool Allocate(std::uint64_t size) = 0;
    virtual bool AllowExecute() = 0;
    virtual bool DenyExecute() = 0;
    // A view over the whole range.
    virtual std::shared_ptr<MemoryMappedFileData> Map() { return Map(GetLowerBound(), GetUpperBound()); }
    // A view over [first, last], which must lie inside the range and the file.
    virtual std::shared_ptr<MemoryMappedFileData> Map(std::uint64_t first, std::uint64_t last) = 0;

    const std::shared_ptr<FileOperationContext>& GetLock() const { return lock_; }

  private:
    const std::shared_ptr<FileOperationContext> lock_;
};

}  // namespace tvl
