#pragma once

// A view of one byte range of a file, held in a pooled memory buffer rather
// than in a kernel file mapping: on the virtual machines we run on, every
// 4 KiB page fault of a mapping costs tens of microseconds, which caps mapped
// chunk writes far below what pread/pwrite reach. The view keeps the mapping's
// behaviour for its user: bounds, cursor, Reserve, Data, Apply, Fetch, and
// write-back when it goes away.
//
// The buffer is loaded from the file (pread) on the first access that needs
// the file's bytes; writes before that are only recorded, so that a chunk that
// is written from its start is never read first. What was changed is written
// back (pwrite) before Apply runs and when the view is destroyed. Loading and
// write-back run under the file's shared lock when it has one.
//
// The view is a private copy: views of one file must cover disjoint ranges,
// and the file's own Read and Write do not see a live view's changes before
// they are written back. A file that no longer covers the view, or an I/O
// error while loading or writing back, raises FileInvalidMapException. A view
// belongs to one thread at a time.

#include <cstdint>
#include <memory>

#include "engine/file/MemoryMappedFileData.h"
#include "engine/file/ViewBufferPool.h"

namespace tvl {

class PosixMemoryMap;

class PosixMemoryMapView : public MemoryMappedFileData {
  public:
    // The range's length must fit in 32 bits, else std::bad_alloc.
    PosixMemoryMapView(std::shared_ptr<PosixMemoryMap> map, std::uint64_t first, std::uint64_t last);
    // Writes back what is left to write; failures here can only be dropped.
    ~PosixMemoryMapView() override;

    std::uint64_t Tell() override;
    void Seek(std::uint64_t position) override;
    // At most 4096 bytes per call.
    std::size_t Read(void* buffer, std::size_t size) override;
    std::size_t Write(const void* buffer, std::size_t size) override;
    std::uint8_t* Reserve(std::size_t size) override;
    std::uint8_t* Data() override;
    // Writes back first, so that the function sees exactly what the file holds
    // and a failed write-back is reported here rather than lost.
    std::uint64_t Apply(const ByteRangeFunction& function) override;
    void Fetch() override;

  private:
    void EnsureLoaded();
    void Load();
    void WriteBack();
    void MarkChanged(std::uint32_t begin, std::uint32_t end);
    void CheckFileCoversView();

    const std::shared_ptr<PosixMemoryMap> map_;
    const std::uint32_t length_;
    std::uint32_t cursor_ = 0;
    ViewBufferPool::Buffer buffer_;
    bool loaded_ = false;
    // Offsets [changedBegin_, changedEnd_) from the lower bound differ from
    // the file; empty when equal.
    std::uint32_t changedBegin_ = 0;
    std::uint32_t changedEnd_ = 0;
};

}  // namespace tvl
