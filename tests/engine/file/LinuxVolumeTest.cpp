#include "engine/file/LinuxVolume.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "engine/file/FileExceptions.h"
#include "engine/file/PosixSharedFileFactory.h"
#include "tests/support/TemporaryFolder.h"

namespace tvl {
namespace {

namespace fs = std::filesystem;

const char* const kMountInfo =
    "22 1 254:0 / / rw,relatime shared:1 - ext4 /dev/vda rw\n"
    "23 22 0:21 / /proc rw,nosuid shared:5 - proc proc rw\n"
    "30 22 8:17 / /media/usb rw,relatime shared:9 - vfat /dev/sdb1 rw,fmask=0022\n"
    "31 22 8:33 / /media/usb2 rw shared:10 master:3 - exfat /dev/sdc1 rw\n"
    "32 22 8:49 / /media/My\\040Disk rw - ntfs3 /dev/sdd1 rw\n"
    "33 22 8:50 / /media/old rw - ntfs /dev/sdd2 rw\n"
    "34 22 0:40 / /media/usb rw - tmpfs tmpfs rw\n"
    "garbage line\n";

std::shared_ptr<LinuxVolume> Find(const std::string& path) {
    return LinuxVolume::FromMountInfo(kMountInfo, path, "/nonexistent-sysfs");
}

TEST(LinuxVolume, TheDeepestMountHoldingThePathWins) {
    EXPECT_EQ(Find("/home/user/file")->GetRoot(), "/");
    EXPECT_EQ(Find("/proc/self")->GetRoot(), "/proc");
    EXPECT_EQ(Find("/media/usb2/x")->GetRoot(), "/media/usb2");
    EXPECT_EQ(Find("/media/usb2")->GetRoot(), "/media/usb2");
    EXPECT_EQ(Find("/media/usb22")->GetRoot(), "/") << "prefixes count by whole names";
    EXPECT_EQ(Find("/media/My Disk/f")->GetRoot(), "/media/My Disk") << "escaped spaces";
    EXPECT_EQ(Find("/media/usb/file")->GetEntry().fileSystem, "tmpfs")
        << "the later mount covers the earlier";
    EXPECT_EQ(LinuxVolume::FromMountInfo("", "/x"), nullptr);
}

TEST(LinuxVolume, FileSystemNamesFollowTheirWindowsSpelling) {
    EXPECT_EQ(Find("/media/usb2/x")->GetFileSystemName(), "exFAT");
    EXPECT_EQ(Find("/media/My Disk")->GetFileSystemName(), "NTFS");
    EXPECT_EQ(Find("/media/old")->GetFileSystemName(), "NTFS");
    EXPECT_EQ(Find("/etc")->GetFileSystemName(), "ext4");
    const auto fat = LinuxVolume::FromMountInfo("30 22 8:17 / /m rw - vfat /dev/sdb1 rw\n", "/m/a");
    EXPECT_EQ(fat->GetFileSystemName(), "FAT32");

    auto volume = Find("/");
    EXPECT_EQ(volume->ToFileSystemType("NTFS"), FileSystemType::Ntfs);
    EXPECT_EQ(volume->ToFileSystemType("ntfs"), FileSystemType::Other);
    EXPECT_EQ(volume->ToFileSystemType("FAT32"), FileSystemType::Fat32);
    EXPECT_EQ(volume->ToFileSystemType("exFAT"), FileSystemType::ExFat);
    EXPECT_EQ(volume->ToFileSystemType("EXFAT"), FileSystemType::Other);
    EXPECT_EQ(volume->ToFileSystemType(fat->GetFileSystemName()), FileSystemType::Fat32);
}

// A small sysfs: sdb1 sits under a USB host controller, vda on virtio, and
// dm-0 is mapped over sdb1.
class FakeSysfs : public ::testing::Test {
  protected:
    void SetUp() override {
        const fs::path root(sysfs_.Path());
        const fs::path usbDisk = root / "devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/block/sdb";
        const fs::path virtio = root / "devices/pci0000:00/0000:00:04.0/virtio1/block/vda";
        const fs::path mapped = root / "devices/virtual/block/dm-0";
        for (const fs::path& dir : {usbDisk / "sdb1", virtio, mapped / "slaves", root / "bus/usb",
                                    root / "bus/virtio", root / "dev/block"}) {
            fs::create_directories(dir);
        }
        fs::create_directory_symlink(root / "bus/usb",
                                     root / "devices/pci0000:00/0000:00:14.0/usb2/subsystem");
        fs::create_directory_symlink(root / "bus/virtio",
                                     root / "devices/pci0000:00/0000:00:04.0/virtio1/subsystem");
        fs::create_directory_symlink(usbDisk / "sdb1", root / "dev/block/8:17");
        fs::create_directory_symlink(virtio, root / "dev/block/254:0");
        fs::create_directory_symlink(mapped, root / "dev/block/253:0");
        fs::create_directory_symlink(usbDisk / "sdb1", mapped / "slaves/sdb1");
    }

    bool IsUsb(const std::string& device) {
        MountEntry entry;
        entry.mountPoint = "/mnt";
        entry.fileSystem = "ext4";
        entry.source = "not-a-device";
        std::istringstream numbers(device);
        char colon;
        numbers >> entry.major >> colon >> entry.minor;
        return LinuxVolume(entry, sysfs_.Path()).IsUsb();
    }

    test::TemporaryFolder sysfs_;
};

TEST_F(FakeSysfs, UsbIsTheBusUnderTheBlockDevice) {
    EXPECT_TRUE(IsUsb("8:17"));
    EXPECT_FALSE(IsUsb("254:0"));
    EXPECT_TRUE(IsUsb("253:0")) << "a mapped device over a USB partition";
    EXPECT_FALSE(IsUsb("0:40")) << "no block device at all";
    EXPECT_THROW(IsUsb("8:99"), FileInaccessibleException) << "unknown to sysfs";
}

TEST(LinuxVolumeOfThisMachine, EveryMountIsItsOwnVolume) {
    PosixSharedFileFactory factory;
    std::ifstream mounts("/proc/self/mountinfo");
    std::string line;
    int checked = 0;
    while (std::getline(mounts, line) && checked < 50) {
        std::istringstream fields(line);
        std::string id, parent, device, root, mountPoint;
        fields >> id >> parent >> device >> root >> mountPoint;
        if (mountPoint.find('\\') != std::string::npos || !fs::is_directory(mountPoint)) {
            continue;
        }
        std::error_code error;
        if (fs::canonical(mountPoint, error) != mountPoint) {
            continue;  // reached through a link; the link's target is the answer
        }
        auto volume = factory.GetVolume(mountPoint);
        ASSERT_NE(volume, nullptr);
        // The same point may be mounted more than once; only the last counts.
        EXPECT_EQ(volume->GetRoot(), mountPoint);
        EXPECT_FALSE(volume->GetFileSystemName().empty()) << mountPoint;
        ++checked;
    }
    EXPECT_GT(checked, 0);

    auto proc = factory.GetVolume("/proc/self/status");
    EXPECT_EQ(proc->GetRoot(), "/proc");
    EXPECT_EQ(proc->GetFileSystemName(), "proc");
    EXPECT_FALSE(proc->IsUsb());
    auto root = factory.GetVolume("/no/such/file/anywhere");
    EXPECT_NO_THROW(root->IsUsb());
}

TEST(LinuxVolumeOfThisMachine, OnlyAbsolutePathsHaveAVolume) {
    PosixSharedFileFactory factory;
    EXPECT_THROW(factory.GetVolume("relative/path"), FileBadPathException);
    EXPECT_THROW(factory.GetVolume(""), FileBadPathException);
    EXPECT_THROW(factory.GetVolume("./tmp"), FileBadPathException);
}

}  // namespace
}  // namespace tvl
