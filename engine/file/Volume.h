#pragma once

// The disk volume that holds a path: which file system it carries and whether
// its device is attached over USB. Immutable after construction; safe from any
// thread.

#include <cstdint>
#include <string>

namespace tvl {

enum class FileSystemType : std::uint8_t { Other = 0, Ntfs = 1, Fat32 = 2, ExFat = 3 };

class Volume {
  public:
    explicit Volume(std::string root) : root_(std::move(root)) {}
    virtual ~Volume() = default;
    Volume(const Volume&) = delete;
    Volume& operator=(const Volume&) = delete;

    virtual std::string GetFileSystemName() = 0;
    // Exact, case-sensitive: "NTFS", "FAT32" and "exFAT" are known.
    virtual FileSystemType ToFileSystemType(const std::string& fileSystemName);
    virtual bool IsUsb() = 0;

    const std::string& GetRoot() const { return root_; }

  private:
    const std::string root_;
};

}  // namespace tvl
