#include "engine/file/DurableFileWrite.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>

#include "engine/file/PosixFileErrors.h"

namespace tvl {
namespace {

constexpr char kSuffix[] = ".tmp";
constexpr std::size_t kSuffixSize = sizeof kSuffix - 1;
constexpr std::size_t kRandomSize = 6;

std::string Join(const std::string& folder, const std::string& name) {
    return folder.empty() || folder.back() == '/' ? folder + name : folder + "/" + name;
}

// The temporary file while it is being written: closed, and removed unless
// it got its final name, whichever way the write ends.
class TemporaryFile {
  public:
    TemporaryFile(std::string path, int descriptor) : path_(std::move(path)), descriptor_(descriptor) {}
    ~TemporaryFile() {
        Close();
        if (!path_.empty()) {
            unlink(path_.c_str());
        }
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    const std::string& Path() const { return path_; }
    int Descriptor() const { return descriptor_; }
    // 0, or the errno of a failed close (delayed write errors show there).
    int Close() {
        if (descriptor_ < 0) {
            return 0;
        }
        const int result = close(descriptor_);
        descriptor_ = -1;
        return result == 0 ? 0 : errno;
    }
    // The file is no longer at the temporary path.
    void Renamed() { path_.clear(); }

  private:
    std::string path_;
    int descriptor_;
};

void WriteAll(int descriptor, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t wrote = write(descriptor, bytes.data() + done, bytes.size() - done);
        if (wrote < 0) {
            if (errno == EINTR) {
                continue;
            }
            ThrowFileError(errno);
        }
        done += static_cast<std::size_t>(wrote);
    }
}

// Gives the temporary file the final name unless that name is taken. On file
// systems that cannot rename without replacing, a hard link does the same and
// the temporary name is removed afterwards.
void NameWithoutReplacing(TemporaryFile& file, const std::string& target) {
    if (renameat2(AT_FDCWD, file.Path().c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
        file.Renamed();
        return;
    }
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
        ThrowFileError(errno);
    }
    if (link(file.Path().c_str(), target.c_str()) != 0) {
        ThrowFileError(errno);
    }
}

// Makes the new name itself durable. Best effort: the file is complete under
// its name by now, and reporting a failure here would call a save that did
// happen a failed one.
void FlushFolder(const std::string& folder) {
    const int descriptor = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor >= 0) {
        fsync(descriptor);
        close(descriptor);
    }
}

}  // namespace

namespace {

enum class Naming { NeverReplace, Replace };

void WriteDurably(const std::string& folder, const std::string& name, const std::string& bytes, Naming naming) {
    if (name.empty() || name.find('/') != std::string::npos || name.find('\0') != std::string::npos ||
        folder.find('\0') != std::string::npos) {
        ThrowFileError(EINVAL);
    }
    const std::string target = Join(folder, name);
    std::string pattern = target + "." + std::string(kRandomSize, 'X') + kSuffix;
    const int descriptor = mkostemps(pattern.data(), static_cast<int>(kSuffixSize), O_CLOEXEC);
    if (descriptor < 0) {
        ThrowFileError(errno);
    }
    TemporaryFile file(pattern, descriptor);
    WriteAll(file.Descriptor(), bytes);
    if (fsync(file.Descriptor()) != 0) {
        ThrowFileError(errno);
    }
    if (const int error = file.Close()) {
        ThrowFileError(error);
    }
    if (naming == Naming::NeverReplace) {
        NameWithoutReplacing(file, target);
    } else {
        if (rename(file.Path().c_str(), target.c_str()) != 0) {
            ThrowFileError(errno);
        }
        file.Renamed();
    }
    FlushFolder(folder.empty() ? "." : folder);
}

}  // namespace

void WriteNewFileDurably(const std::string& folder, const std::string& name, const std::string& bytes) {
    WriteDurably(folder, name, bytes, Naming::NeverReplace);
}

void ReplaceFileDurably(const std::string& folder, const std::string& name, const std::string& bytes) {
    WriteDurably(folder, name, bytes, Naming::Replace);
}

bool IsDurableWriteTemporary(const std::string& entry) {
    constexpr std::size_t kTail = 1 + kRandomSize + kSuffixSize;
    if (entry.size() <= kTail || entry.compare(entry.size() - kSuffixSize, kSuffixSize, kSuffix) != 0) {
        return false;
    }
    const std::size_t random = entry.size() - kSuffixSize - kRandomSize;
    if (entry[random - 1] != '.') {
        return false;
    }
    for (std::size_t i = random; i < random + kRandomSize; ++i) {
        if (!std::isalnum(static_cast<unsigned char>(entry[i]))) {
            return false;
        }
    }
    return true;
}

void RemoveLeftoverTemporaries(const std::string& folder, const std::string& name, long othersAfterSeconds) {
    const std::unique_ptr<DIR, int (*)(DIR*)> directory(opendir(folder.c_str()), closedir);
    if (!directory) {
        return;
    }
    const std::string own = name + ".";
    const std::time_t now = std::time(nullptr);
    const int folderDescriptor = dirfd(directory.get());
    while (const dirent* entry = readdir(directory.get())) {
        const std::string entryName = entry->d_name;
        if (!IsDurableWriteTemporary(entryName)) {
            continue;
        }
        const bool ofName = entryName.size() == own.size() + kRandomSize + kSuffixSize &&
                            entryName.compare(0, own.size(), own) == 0;
        if (!ofName) {
            struct stat info;
            if (fstatat(folderDescriptor, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 ||
                !S_ISREG(info.st_mode) || now - info.st_mtime < othersAfterSeconds) {
                continue;
            }
        }
        unlinkat(folderDescriptor, entry->d_name, 0);
    }
}

}  // namespace tvl
