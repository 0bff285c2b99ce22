#pragma once

// A view of one byte range of a file, held in a pooled memory buffer rather
// than in a kernel file mapping: on the virtual machines we run on, every
// 4 KiB page fault of a mapping costs tens of microseconds, which caps mapped
// chunk writes far below what pread/pwrite reach. The view keeps the mapping's
// behaviour for its user: bounds, cursor, Reserve, Data, Scan, Fetch, and
// write-back when it goes away.
//
// The buffer is loaded from the file (pread) on the first access that needs
// the file's bytes; writes before that are only recorded, so that a chunk that
// is written from its start is never read first. What was changed is written
// back (pwrite) before a scan and when the view is destroyed. Loading and
// write-back run under the file's shared lock when it has one.
//
// A view longer than its window (kViewWindowBytes unless given) holds only
// the window: writes collect in it and go to the file each time it fills or
// the cursor jumps, reads and scans go through it piece by piece. A body
// written in one pass from the view's start gets its CRC-32 as it arrives, so
// that checking a downloaded chunk of any size reads nothing back.
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
    PosixMemoryMapView(std::shared_ptr<PosixMemoryMap> map, std::uint64_t first, std::uint64_t last,
                       std::size_t window = kViewWindowBytes);
    // Writes back what is left to write; failures here can only be dropped.
    ~PosixMemoryMapView() override;

    std::uint64_t Tell() override;
    void Seek(std::uint64_t position) override;
    // At most 4096 bytes per call.
    std::size_t Read(void* buffer, std::size_t size) override;
    std::size_t Write(const void* buffer, std::size_t size) override;
    // std::bad_alloc for more than the window of a streamed view.
    std::uint8_t* Reserve(std::size_t size) override;
    // std::bad_alloc for a streamed view.
    std::uint8_t* Data() override;
    // Both write back first, so that they see exactly what the file holds and
    // a failed write-back is reported here rather than lost.
    void Scan(const ByteRangeFunction& function) override;
    std::uint32_t Checksum() override;
    void Fetch() override;

    // Whether the view holds only a window of its range.
    bool Streamed() const { return window_ < length_; }

  private:
    void EnsureLoaded();
    void Load();
    void ReadFile(std::uint32_t offset, std::uint32_t size, std::uint8_t* into);
    void WriteBack();
    void MarkChanged(std::uint32_t begin, std::uint32_t end);
    void TrackChecksum(std::uint32_t offset, const void* data, std::size_t size);
    std::size_t WriteStreamed(const std::uint8_t* data, std::size_t size);
    void CheckFileCoversView();

    const std::shared_ptr<PosixMemoryMap> map_;
    const std::uint32_t length_;
    const std::uint32_t window_;  // the buffer's length: the view's, or less when streamed
    std::uint32_t cursor_ = 0;
    ViewBufferPool::Buffer buffer_;
    // The offset from the lower bound of the buffer's first byte; 0 unless
    // streamed.
    std::uint32_t origin_ = 0;
    // A view held whole: the buffer holds the file's bytes (besides the
    // changed run). A streamed view never counts as loaded.
    bool loaded_ = false;
    // Offsets [changedBegin_, changedEnd_) from the lower bound differ from
    // the file; empty when equal. Streamed, they lie within the window.
    std::uint32_t changedBegin_ = 0;
    std::uint32_t changedEnd_ = 0;
    // Streamed: the CRC-32 of the bytes [0, checksummedEnd_) as written in
    // one pass from the view's start, while checksumValid_.
    std::uint32_t runningChecksum_ = 0;
    std::uint32_t checksummedEnd_ = 0;
    bool checksumValid_ = false;
};

}  // namespace tvl
