#include "engine/file/PosixSharedFileFactory.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "engine/file/FileExceptions.h"
#include "engine/file/LinuxVolume.h"
#include "engine/file/PosixSharedFile.h"

namespace tvl {
namespace {

namespace fs = std::filesystem;

const char* const kExecutableExtensions[] = {".exe", ".bat", ".com", ".cmd",     ".msi",
                                             ".vbs", ".sh",  ".run", ".AppImage"};

}  // namespace

std::shared_ptr<SharedFile> PosixSharedFileFactory::Open(const std::string& folder,
                                                         const std::string& relativePath, OpenMode mode,
                                                         bool useSharedLock, std::uint64_t lowerBound,
                                                         std::uint64_t upperBound) {
    return std::make_shared<PosixSharedFile>(
        folder, relativePath, mode, useSharedLock ? Context() : std::shared_ptr<FileOperationContext>(),
        lowerBound, upperBound);
}

bool PosixSharedFileFactory::IsExecutable(const std::string& /*folder*/, const std::string& relativePath) {
    const std::string name = fs::path(relativePath).filename().string();
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos) {
        return false;
    }
    const std::string extension = name.substr(dot);
    for (const char* executable : kExecutableExtensions) {
        if (extension == executable) {
            return true;
        }
    }
    return false;
}

bool PosixSharedFileFactory::IsHidden(const std::string& path) {
    const std::string name = fs::path(path).filename().string();
    return !name.empty() && name[0] == '.' && name != "." && name != "..";
}

std::shared_ptr<Volume> PosixSharedFileFactory::GetVolume(const std::string& path) {
    if (path.empty() || path[0] != '/' || path.find('\0') != std::string::npos) {
        throw FileBadPathException();
    }
    // Symbolic links lead to the mount that really holds the file.
    std::error_code error;
    const fs::path resolved = fs::weakly_canonical(path, error);
    if (error) {
        throw FileBadPathException();
    }
    std::ifstream file("/proc/self/mountinfo");
    if (!file.is_open()) {
        throw FileBadPathException();
    }
    std::ostringstream mountInfo;
    mountInfo << file.rdbuf();
    auto volume = LinuxVolume::FromMountInfo(mountInfo.str(), resolved.string());
    if (!volume) {
        throw FileBadPathException();
    }
    return volume;
}

}  // namespace tvl
