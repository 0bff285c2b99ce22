#include "engine/file/SharedFileFactory.h"

#include <unistd.h>

#include <filesystem>
#include <system_error>

#include "engine/file/FileExceptions.h"
#include "engine/file/FileOperationContext.h"
#include "engine/file/PosixFileErrors.h"

namespace tvl {

namespace fs = std::filesystem;

SharedFileFactory::SharedFileFactory() : context_(std::make_shared<FileOperationContext>()) {}

SharedFileFactory::~SharedFileFactory() = default;

bool SharedFileFactory::Delete(const std::string& folder, const std::string& relativePath,
                               bool useSharedLock) {
    std::string fullPath;
    if (!JoinInside(folder, relativePath, &fullPath)) {
        return false;
    }
    auto lock = useSharedLock ? LockFileOperations(context_) : std::unique_lock<std::recursive_mutex>();
    if (unlink(fullPath.c_str()) != 0) {
        return false;
    }
    // rmdir removes only empty folders, so the walk stops at the first folder
    // that still holds something (or cannot be removed for another reason).
    const fs::path base(folder);
    for (fs::path parent = fs::path(relativePath).lexically_normal().parent_path(); !parent.empty();
         parent = parent.parent_path()) {
        if (parent == ".") {
            break;
        }
        if (rmdir((base / parent).c_str()) != 0) {
            break;
        }
    }
    return true;
}

std::shared_ptr<FileOperationContext> SharedFileFactory::GetLock(const std::string& /*path*/) {
    return context_;
}

bool SharedFileFactory::IsEmpty(const std::string& folder, bool ignoreHidden) {
    std::error_code error;
    fs::directory_iterator entry(folder, error);
    if (error) {
        throw FileBadPathException();
    }
    // A hidden entry is skipped without being entered and any other entry
    // decides at once, so the first level answers for the whole tree.
    for (; entry != fs::directory_iterator(); entry.increment(error)) {
        if (error) {
            throw FileInaccessibleException();
        }
        if (!ignoreHidden || !IsHidden(entry->path().string())) {
            return false;
        }
    }
    if (error) {
        throw FileInaccessibleException();
    }
    return true;
}

}  // namespace tvl
