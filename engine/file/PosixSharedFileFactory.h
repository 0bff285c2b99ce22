#pragma once

// The SharedFileFactory of Linux: PosixSharedFile for files, dot-files for
// hidden entries, /proc/self/mountinfo and sysfs for volumes. All operations
// may be called from any thread.

#include "engine/file/SharedFileFactory.h"

namespace tvl {

class PosixSharedFileFactory : public SharedFileFactory {
  public:
    PosixSharedFileFactory() = default;

    std::shared_ptr<SharedFile> Open(const std::string& folder, const std::string& relativePath,
                                     OpenMode mode, bool useSharedLock, std::uint64_t lowerBound,
                                     std::uint64_t upperBound) override;
    // ".exe", ".bat", ".com", ".cmd", ".msi", ".vbs", ".sh", ".run" and
    // ".AppImage", compared byte-wise.
    bool IsExecutable(const std::string& folder, const std::string& relativePath) override;
    // Names beginning with ".".
    bool IsHidden(const std::string& path) override;
    // The mount that holds the path, which must be absolute.
    std::shared_ptr<Volume> GetVolume(const std::string& path) override;
};

}  // namespace tvl
