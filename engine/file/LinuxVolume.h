#pragma once

// A mounted file system as a Volume: the mount point is the root; the file
// system's name comes from /proc/self/mountinfo and the USB question from the
// device's place in sysfs. Immutable; safe from any thread.

#include <memory>
#include <string>

#include "engine/file/Volume.h"

namespace tvl {

struct MountEntry {
    std::string mountPoint;
    std::string fileSystem;  // as the kernel names it: "ext4", "vfat", "ntfs3"
    std::string source;      // "/dev/sdb1", "tmpfs", ...
    unsigned major = 0;      // of the device that backs the mount; 0 for none
    unsigned minor = 0;
};

class LinuxVolume : public Volume {
  public:
    explicit LinuxVolume(MountEntry entry, std::string sysfsRoot = "/sys");

    // The volume of the mount in mountInfo (the text of /proc/self/mountinfo)
    // that holds the absolute, resolved path; null when none does.
    static std::shared_ptr<LinuxVolume> FromMountInfo(const std::string& mountInfo, const std::string& path,
                                                      const std::string& sysfsRoot = "/sys");

    // "FAT32" for vfat, "exFAT" for exfat, "NTFS" for ntfs and ntfs3, the
    // kernel's name for anything else.
    std::string GetFileSystemName() override;
    // Whether the block device sits on a USB bus. False for mounts without a
    // block device (tmpfs, proc, network); FileInaccessibleException when
    // sysfs does not know the device.
    bool IsUsb() override;

    const MountEntry& GetEntry() const { return entry_; }

  private:
    const MountEntry entry_;
    const std::string sysfsRoot_;
};

}  // namespace tvl
