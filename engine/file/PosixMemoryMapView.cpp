#include "engine/file/PosixMemoryMapView.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "engine/file/FileExceptions.h"
#include "engine/file/FileOperationContext.h"
#include "engine/file/PosixMemoryMap.h"

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

}  // namespace

PosixMemoryMapView::PosixMemoryMapView(std::shared_ptr<PosixMemoryMap> map, std::uint64_t first,
                                       std::uint64_t last)
    : MemoryMappedFileData(first, last),
      map_(std::move(map)),
      length_(CheckedLength(first, last)),
      buffer_(ViewBufferPool::Instance().Acquire(length_)) {}

PosixMemoryMapView::~PosixMemoryMapView() {
    try {
        WriteBack();
    } catch (...) {
        // A destructor cannot report; Apply is where a failed write-back shows.
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
    EnsureLoaded();
    std::memcpy(buffer, buffer_.Data() + cursor_, n);
    cursor_ += static_cast<std::uint32_t>(n);
    return n;
}

std::size_t PosixMemoryMapView::Write(const void* buffer, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    CheckRange(Tell(), size);
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
            // The run stays marked changed; Apply writes it back again and reports.
        }
    }
    return size;
}

std::uint8_t* PosixMemoryMapView::Reserve(std::size_t size) {
    if (size == 0) {
        return nullptr;
    }
    CheckRange(Tell(), size);
    EnsureLoaded();
    std::uint8_t* reserved = buffer_.Data() + cursor_;
    const auto end = static_cast<std::uint32_t>(cursor_ + size);
    MarkChanged(cursor_, end);
    cursor_ = end;
    return reserved;
}

std::uint8_t* PosixMemoryMapView::Data() {
    EnsureLoaded();
    // The caller may write anywhere through the pointer.
    MarkChanged(0, length_);
    return buffer_.Data();
}

std::uint64_t PosixMemoryMapView::Apply(const ByteRangeFunction& function) {
    {
        auto lock = LockFileOperations(map_->GetLock());
        EnsureLoaded();
        WriteBack();
        CheckFileCoversView();
    }
    return function(buffer_.Data(), length_);
}

void PosixMemoryMapView::Fetch() {
    auto lock = LockFileOperations(map_->GetLock());
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
        std::uint32_t offset = gap[0];
        while (offset < gap[1]) {
            const ssize_t got = pread(map_->Descriptor(), buffer_.Data() + offset, gap[1] - offset,
                                      static_cast<off_t>(GetLowerBound() + offset));
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                // An I/O error, or the file ended early: the view cannot hold
                // the file's bytes.
                throw FileInvalidMapException();
            }
            offset += static_cast<std::uint32_t>(got);
        }
    }
    loaded_ = true;
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
        const ssize_t put = pwrite(map_->Descriptor(), buffer_.Data() + offset, changedEnd_ - offset,
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
    if (changedBegin_ == 0 && changedEnd_ == length_) {
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
