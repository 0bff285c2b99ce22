#include "engine/file/PosixMemoryMapView.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "engine/file/FileExceptions.h"
#include "engine/file/FileOperationContext.h"
#include "engine/file/PosixMemoryMap.h"
#include "engine/manifest/Crc32.h"

namespace tvl {
namespace {

constexpr std::size_t kMaxReadSize = 4096;

std::uint32_t CheckedLength(std::uint64_t first, std::uint64_t last) {
    if (first > last) {
        throw FileOutOfBoundsException();
    }
    if (last - first > UINT32_MAX - 1u) {
        throw std::bad_alloc();
    }
    return static_cast<std::uint32_t>(last - first + 1);
}

std::uint32_t WindowLength(std::uint32_t length, std::size_t window) {
    return static_cast<std::uint32_t>(std::min<std::size_t>(length, std::max<std::size_t>(window, 1)));
}

}  // namespace

PosixMemoryMapView::PosixMemoryMapView(std::shared_ptr<PosixMemoryMap> map, std::uint64_t first,
                                       std::uint64_t last, std::size_t window)
    : MemoryMappedFileData(first, last),
      map_(std::move(map)),
      length_(CheckedLength(first, last)),
      window_(WindowLength(length_, window)),
      buffer_(ViewBufferPool::Instance().Acquire(window_)) {}

PosixMemoryMapView::~PosixMemoryMapView() {
    try {
        WriteBack();
    } catch (...) {
        // A destructor cannot report; Checksum is where a failed write-back shows.
    }
}

std::uint64_t PosixMemoryMapView::Tell() {
    return GetLowerBound() + cursor_;
}

void PosixMemoryMapView::Seek(std::uint64_t position) {
    CheckBounds(position, position);
    cursor_ = static_cast<std::uint32_t>(position - GetLowerBound());
}

std::size_t PosixMemoryMapView::Read(void* buffer, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::size_t n = std::min(size, kMaxReadSize);
    CheckRange(Tell(), n);
    if (Streamed()) {
        auto lock = LockFileOperations(map_->GetLock());
        WriteBack();
        ReadFile(cursor_, static_cast<std::uint32_t>(n), static_cast<std::uint8_t*>(buffer));
    } else {
        EnsureLoaded();
        std::memcpy(buffer, buffer_.Data() + cursor_, n);
    }
    cursor_ += static_cast<std::uint32_t>(n);
    return n;
}

std::size_t PosixMemoryMapView::Write(const void* buffer, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    CheckRange(Tell(), size);
    if (Streamed()) {
        return WriteStreamed(static_cast<const std::uint8_t*>(buffer), size);
    }
    const auto end = static_cast<std::uint32_t>(cursor_ + size);
    // Unloaded, the changed bytes must stay one run, or the gap between two
    // runs would be written back with whatever the buffer held before.
    const bool joinsRun = changedBegin_ == changedEnd_ || (cursor_ <= changedEnd_ && end >= changedBegin_);
    if (!loaded_ && !joinsRun) {
        Load();
    }
    std::memcpy(buffer_.Data() + cursor_, buffer, size);
    MarkChanged(cursor_, end);
    cursor_ = end;
    if (end == length_) {
        // A body that reaches the view's last byte is a whole chunk: it goes
        // to the file now, as it would through a shared mapping, rather than
        // when the chunk's verification gets its turn. A process that dies in
        // between then leaves it on disk for the next run to verify, instead
        // of losing a download that was complete.
        try {
            WriteBack();
        } catch (const FileException&) {
            // The run stays marked changed; Checksum writes it back again and reports.
        }
    }
    return size;
}

std::uint8_t* PosixMemoryMapView::Reserve(std::size_t size) {
    if (size == 0) {
        return nullptr;
    }
    CheckRange(Tell(), size);
    const auto end = static_cast<std::uint32_t>(cursor_ + size);
    if (Streamed()) {
        if (size > window_) {
            throw std::bad_alloc();
        }
        auto lock = LockFileOperations(map_->GetLock());
        WriteBack();
        ReadFile(cursor_, static_cast<std::uint32_t>(size), buffer_.Data());
        origin_ = cursor_;
        changedBegin_ = cursor_;
        changedEnd_ = end;
        checksumValid_ = false;
        cursor_ = end;
        return buffer_.Data();
    }
    EnsureLoaded();
    std::uint8_t* reserved = buffer_.Data() + cursor_;
    MarkChanged(cursor_, end);
    cursor_ = end;
    return reserved;
}

std::uint8_t* PosixMemoryMapView::Data() {
    if (Streamed()) {
        throw std::bad_alloc();
    }
    EnsureLoaded();
    // The caller may write anywhere through the pointer.
    MarkChanged(0, length_);
    return buffer_.Data();
}

void PosixMemoryMapView::Scan(const ByteRangeFunction& function) {
    if (!Streamed()) {
        {
            auto lock = LockFileOperations(map_->GetLock());
            EnsureLoaded();
            WriteBack();
            CheckFileCoversView();
        }
        function(buffer_.Data(), length_);
        return;
    }
    {
        auto lock = LockFileOperations(map_->GetLock());
        WriteBack();
        CheckFileCoversView();
    }
    for (std::uint32_t offset = 0; offset < length_;) {
        const std::uint32_t piece = std::min(window_, length_ - offset);
        {
            auto lock = LockFileOperations(map_->GetLock());
            ReadFile(offset, piece, buffer_.Data());
        }
        origin_ = offset;
        function(buffer_.Data(), piece);
        offset += piece;
    }
}

std::uint32_t PosixMemoryMapView::Checksum() {
    if (Streamed()) {
        {
            auto lock = LockFileOperations(map_->GetLock());
            WriteBack();
            CheckFileCoversView();
        }
        if (checksumValid_ && checksummedEnd_ == length_) {
            return runningChecksum_;
        }
    }
    std::uint32_t crc = 0;
    Scan([&crc](const std::uint8_t* data, std::size_t size) { crc = Crc32(crc, data, size); });
    if (Streamed()) {
        // Until the next write, asking again costs nothing.
        runningChecksum_ = crc;
        checksummedEnd_ = length_;
        checksumValid_ = true;
    }
    return crc;
}

void PosixMemoryMapView::Fetch() {
    auto lock = LockFileOperations(map_->GetLock());
    if (Streamed()) {
        CheckFileCoversView();
        // Read-ahead into the page cache is all a window can do ahead of a pass.
        posix_fadvise(map_->Descriptor(), static_cast<off_t>(GetLowerBound()), static_cast<off_t>(length_),
                      POSIX_FADV_WILLNEED);
        return;
    }
    if (loaded_) {
        CheckFileCoversView();
    } else {
        Load();
    }
}

void PosixMemoryMapView::EnsureLoaded() {
    if (!loaded_) {
        Load();
    }
}

void PosixMemoryMapView::Load() {
    auto lock = LockFileOperations(map_->GetLock());
    // Bytes already changed are newer than the file's and are kept.
    const std::uint32_t gaps[2][2] = {{0, changedBegin_ == changedEnd_ ? length_ : changedBegin_},
                                      {changedBegin_ == changedEnd_ ? length_ : changedEnd_, length_}};
    for (const auto& gap : gaps) {
        if (gap[1] > gap[0]) {
            ReadFile(gap[0], gap[1] - gap[0], buffer_.Data() + gap[0]);
        }
    }
    loaded_ = true;
}

void PosixMemoryMapView::ReadFile(std::uint32_t offset, std::uint32_t size, std::uint8_t* into) {
    std::uint32_t done = 0;
    while (done < size) {
        const ssize_t got =
            pread(map_->Descriptor(), into + done, size - done, static_cast<off_t>(GetLowerBound() + offset + done));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            // An I/O error, or the file ended early: the view cannot hold
            // the file's bytes.
            throw FileInvalidMapException();
        }
        done += static_cast<std::uint32_t>(got);
    }
}

std::size_t PosixMemoryMapView::WriteStreamed(const std::uint8_t* data, std::size_t size) {
    const std::uint32_t start = cursor_;
    const std::uint8_t* const body = data;
    std::size_t left = size;
    while (left > 0) {
        const bool pending = changedBegin_ != changedEnd_;
        if (pending && (cursor_ != changedEnd_ || changedEnd_ - origin_ == window_)) {
            WriteBack();
        }
        if (changedBegin_ == changedEnd_) {
            origin_ = cursor_;
            changedBegin_ = changedEnd_ = cursor_;
        }
        const std::uint32_t piece =
            static_cast<std::uint32_t>(std::min<std::size_t>(left, window_ - (cursor_ - origin_)));
        std::memcpy(buffer_.Data() + (cursor_ - origin_), data, piece);
        cursor_ += piece;
        changedEnd_ = cursor_;
        data += piece;
        left -= piece;
    }
    // Only once every byte is in the view: a write cut short by a failed
    // write-back must not count towards a checksum that skips reading back.
    TrackChecksum(start, body, size);
    if (changedEnd_ - origin_ == window_ || cursor_ == length_) {
        // A full window makes room now rather than on the next write; the end
        // of the view goes to the file at once, as a view held whole does.
        try {
            WriteBack();
        } catch (const FileException&) {
            if (cursor_ != length_) {
                throw;
            }
            // The run stays marked changed; Checksum writes it back again and reports.
        }
    }
    return size;
}

void PosixMemoryMapView::TrackChecksum(std::uint32_t offset, const void* data, std::size_t size) {
    if (offset == 0) {
        runningChecksum_ = 0;
        checksummedEnd_ = 0;
        checksumValid_ = true;
    }
    if (checksumValid_ && offset == checksummedEnd_) {
        runningChecksum_ = Crc32(runningChecksum_, data, size);
        checksummedEnd_ += static_cast<std::uint32_t>(size);
    } else {
        // Bytes before the write came from elsewhere: the checksum needs a read.
        checksumValid_ = false;
    }
}

void PosixMemoryMapView::WriteBack() {
    if (changedBegin_ == changedEnd_) {
        return;
    }
    auto lock = LockFileOperations(map_->GetLock());
    // Writing past a shortened file would silently make it long again.
    CheckFileCoversView();
    std::uint32_t offset = changedBegin_;
    while (offset < changedEnd_) {
        const ssize_t put = pwrite(map_->Descriptor(), buffer_.Data() + (offset - origin_), changedEnd_ - offset,
                                   static_cast<off_t>(GetLowerBound() + offset));
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put < 0 && (errno == ENOSPC || errno == EDQUOT)) {
            // Files are sized without reserving their blocks: a disk that
            // filled up since is reported as such, not as a broken view.
            throw FileInsufficientSpaceException();
        }
        if (put <= 0) {
            throw FileInvalidMapException();
        }
        offset += static_cast<std::uint32_t>(put);
    }
    // A run over the whole view leaves the buffer equal to the file: checking
    // the chunk next must not read it back.
    if (!Streamed() && changedBegin_ == 0 && changedEnd_ == length_) {
        loaded_ = true;
    }
    changedBegin_ = changedEnd_ = 0;
}

void PosixMemoryMapView::MarkChanged(std::uint32_t begin, std::uint32_t end) {
    if (changedBegin_ == changedEnd_) {
        changedBegin_ = begin;
        changedEnd_ = end;
    } else {
        // Loaded, the bytes between two runs equal the file's, so one run
        // over both is still right.
        changedBegin_ = std::min(changedBegin_, begin);
        changedEnd_ = std::max(changedEnd_, end);
    }
}

void PosixMemoryMapView::CheckFileCoversView() {
    struct stat info;
    if (fstat(map_->Descriptor(), &info) != 0 ||
        static_cast<std::uint64_t>(info.st_size) <= GetUpperBound()) {
        throw FileInvalidMapException();
    }
}

}  // namespace tvl
