#include "engine/file/PosixSharedFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>
#include <system_error>

#include "engine/file/FileExceptions.h"
#include "engine/file/FileOperationContext.h"
#include "engine/file/PosixFileErrors.h"
#include "engine/file/PosixMemoryMap.h"
#include "engine/file/PosixMemoryMapView.h"

namespace tvl {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMaxReadSize = 4096;
constexpr std::uint64_t kMaxOffset = static_cast<std::uint64_t>(INT64_MAX);

int OpenFlags(OpenMode mode) {
    switch (mode) {
        case OpenMode::CreateNew:
            return O_CREAT | O_EXCL;
        case OpenMode::OpenExisting:
            return 0;
        case OpenMode::OpenOrCreate:
        default:
            return O_CREAT;
    }
}

void CreateParentFolders(const std::string& fullPath) {
    const fs::path parent = fs::path(fullPath).parent_path();
    if (parent.empty()) {
        return;
    }
    std::error_code error;
    fs::create_directories(parent, error);
    if (error) {
        ThrowFolderError(error.value());
    }
}

// umask() can only be read by changing it, which would race with other
// threads creating files; the kernel reports it in /proc instead.
mode_t CurrentUmask() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 6, "Umask:") == 0) {
            try {
                return static_cast<mode_t>(std::stoul(line.substr(6), nullptr, 8)) & 0777;
            } catch (const std::exception&) {
                break;
            }
        }
    }
    return 022;
}

}  // namespace

PosixSharedFile::PosixSharedFile(const std::string& folder, const std::string& relativePath, OpenMode mode,
                                 std::shared_ptr<FileOperationContext> lock, std::uint64_t lowerBound,
                                 std::uint64_t upperBound)
    : SharedFile(lowerBound, upperBound, std::move(lock)), cursor_(lowerBound) {
    CheckBounds(lowerBound, lowerBound);
    if (!JoinInside(folder, relativePath, &fullPath_)) {
        throw FileBadPathException();
    }
    if (mode != OpenMode::OpenExisting) {
        CreateParentFolders(fullPath_);
    }
    descriptor_ = open(fullPath_.c_str(), O_RDWR | O_CLOEXEC | OpenFlags(mode), 0666);
    if (descriptor_ < 0) {
        ThrowFileError(errno);
    }
    struct stat info;
    const bool regular = fstat(descriptor_, &info) == 0 && S_ISREG(info.st_mode);
    if (!regular) {
        // A device or pipe in the place of a package file is not ours to use.
        close(descriptor_);
        throw FileBadPathException();
    }
}

PosixSharedFile::~PosixSharedFile() {
    auto lock = LockFileOperations(GetLock());
    close(descriptor_);
}

std::uint64_t PosixSharedFile::Tell() {
    return cursor_.load();
}

void PosixSharedFile::Seek(std::uint64_t position) {
    CheckBounds(position, position);
    cursor_.store(position);
}

std::size_t PosixSharedFile::Read(void* buffer, std::size_t size) {
    auto lock = LockFileOperations(GetLock());
    if (size == 0) {
        return 0;
    }
    const std::size_t n = std::min(size, kMaxReadSize);
    const std::uint64_t position = cursor_.load();
    CheckRange(position, n);
    if (position > kMaxOffset - n) {
        throw FileInsufficientSpaceException();
    }
    std::size_t done = 0;
    while (done < n) {
        const ssize_t got = pread(descriptor_, static_cast<char*>(buffer) + done, n - done,
                                  static_cast<off_t>(position + done));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            ThrowFileError(errno);
        }
        if (got == 0) {
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    cursor_.store(position + done);
    return done;
}

std::size_t PosixSharedFile::Write(const void* buffer, std::size_t size) {
    auto lock = LockFileOperations(GetLock());
    if (size == 0) {
        return 0;
    }
    const std::uint64_t position = cursor_.load();
    CheckRange(position, size);
    if (position > kMaxOffset - size) {
        throw FileInsufficientSpaceException();
    }
    std::size_t done = 0;
    while (done < size) {
        const ssize_t put = pwrite(descriptor_, static_cast<const char*>(buffer) + done, size - done,
                                   static_cast<off_t>(position + done));
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put < 0) {
            ThrowFileError(errno);
        }
        done += static_cast<std::size_t>(put);
    }
    cursor_.store(position + done);
    return done;
}

std::uint64_t PosixSharedFile::GetSize() {
    struct stat info;
    if (fstat(descriptor_, &info) != 0) {
        ThrowFileError(errno);
    }
    return static_cast<std::uint64_t>(info.st_size);
}

bool PosixSharedFile::Allocate(std::uint64_t size) {
    auto lock = LockFileOperations(GetLock());
    if (GetSize() != 0) {
        return false;
    }
    if (size == 0) {
        return true;
    }
    CheckRange(0, size);
    if (size > kMaxOffset) {
        throw FileInsufficientSpaceException();
    }
    // The room is checked, not reserved. Reserving (posix_fallocate) leaves
    // unwritten extents that ext4 converts during writeback at a cost of more
    // than twice the download's own time for a 1 GiB file, and on tmpfs it
    // zeroes every page before the download writes it. A disk that fills up
    // later still fails the chunk's write with the same disk-full error.
    struct statvfs room;
    if (fstatvfs(descriptor_, &room) == 0 && room.f_frsize != 0 &&
        static_cast<std::uint64_t>(room.f_bavail) < size / room.f_frsize + (size % room.f_frsize != 0 ? 1 : 0)) {
        throw FileInsufficientSpaceException();
    }
    if (ftruncate(descriptor_, static_cast<off_t>(size)) != 0) {
        const int error = errno;
        // The file stays empty, so that a retry allocates afresh.
        if (ftruncate(descriptor_, 0) != 0) {
            // Nothing better to report than the allocation's own error.
        }
        ThrowFileError(error);
    }
    Seek(0);
    return true;
}

bool PosixSharedFile::AllowExecute() {
    return ChangeMode(true);
}

bool PosixSharedFile::DenyExecute() {
    return ChangeMode(false);
}

bool PosixSharedFile::ChangeMode(bool executable) {
    struct stat info;
    if (fstat(descriptor_, &info) != 0) {
        return false;
    }
    const mode_t current = info.st_mode & 07777;
    const mode_t mode = executable ? current | (0111 & ~CurrentUmask()) : current & ~mode_t{0111};
    return fchmod(descriptor_, mode) == 0;
}

std::shared_ptr<MemoryMappedFileData> PosixSharedFile::Map(std::uint64_t first, std::uint64_t last) {
    CheckBounds(first, last);
    if (last - first > UINT32_MAX - 1u) {
        throw std::bad_alloc();
    }
    if (last >= GetSize()) {
        throw FileInvalidMapException();
    }
    std::shared_ptr<PosixMemoryMap> map;
    {
        std::lock_guard<std::mutex> guard(mapMutex_);
        if (!map_) {
            map_ = std::make_shared<PosixMemoryMap>(descriptor_, GetLock());
        }
        map = map_;
    }
    return map->CreateView(first, last);
}

}  // namespace tvl
