#include "engine/file/PosixFileErrors.h"

#include <cerrno>
#include <filesystem>
#include <new>

#include "engine/file/FileExceptions.h"

namespace tvl {

void ThrowFileError(int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
        case EINVAL:
        case ENAMETOOLONG:
        case ELOOP:
            throw FileBadPathException();
        case EACCES:
        case EPERM:
        case EROFS:
            throw FileInaccessibleException();
        case ENOMEM:
            throw std::bad_alloc();
        case EEXIST:
        case EBUSY:
        case ETXTBSY:
        case EWOULDBLOCK:
            throw FileInUseException();
        case ENOSPC:
        case EFBIG:
        case EDQUOT:
            throw FileInsufficientSpaceException();
        default:
            throw FileUnknownException();
    }
}

void ThrowFolderError(int error) {
    switch (error) {
        case EACCES:
        case EPERM:
        case EROFS:
            throw FileInaccessibleException();
        case ENOSPC:
        case EDQUOT:
            throw FileInsufficientSpaceException();
        case ENOMEM:
            throw std::bad_alloc();
        default:
            throw FileBadPathException();
    }
}

bool JoinInside(const std::string& folder, const std::string& relativePath, std::string* fullPath) {
    if (relativePath.empty() || folder.find('\0') != std::string::npos ||
        relativePath.find('\0') != std::string::npos) {
        return false;
    }
    const std::filesystem::path relative(relativePath);
    if (relative.is_absolute() || !relative.has_filename()) {
        return false;
    }
    for (const auto& part : relative) {
        if (part == "..") {
            return false;
        }
    }
    *fullPath = (std::filesystem::path(folder) / relative).string();
    return true;
}

}  // namespace tvl
