#include "engine/file/LinuxVolume.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <filesystem>
#include <sstream>
#include <system_error>
#include <vector>

#include "engine/file/FileExceptions.h"

namespace tvl {
namespace {

namespace fs = std::filesystem;

// Device mapper and software RAID stack devices on top of others; a few levels
// cover every real arrangement and stop a looping tree.
constexpr int kMaxStackDepth = 8;

// mountinfo escapes space, tab, newline and backslash as three octal digits.
std::string Unescape(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size()) {
            const std::string digits = text.substr(i + 1, 3);
            if (digits.find_first_not_of("01234567") == std::string::npos) {
                out += static_cast<char>(std::stoi(digits, nullptr, 8));
                i += 3;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

// One line: id parent major:minor root mountpoint options [optional...] - type source superoptions
bool ParseLine(const std::string& line, MountEntry* entry) {
    std::istringstream fields(line);
    std::vector<std::string> parts;
    std::string part;
    while (fields >> part) {
        parts.push_back(part);
    }
    std::size_t separator = 6;
    while (separator < parts.size() && parts[separator] != "-") {
        ++separator;
    }
    if (parts.size() < 6 || separator + 2 >= parts.size()) {
        return false;
    }
    unsigned major = 0;
    unsigned minor = 0;
    char colon = 0;
    std::istringstream device(parts[2]);
    if (!(device >> major >> colon >> minor) || colon != ':') {
        return false;
    }
    entry->mountPoint = Unescape(parts[4]);
    entry->fileSystem = Unescape(parts[separator + 1]);
    entry->source = Unescape(parts[separator + 2]);
    entry->major = major;
    entry->minor = minor;
    return true;
}

// Component-wise, so that /media/usb does not hold /media/usb2.
bool Holds(const std::string& mountPoint, const std::string& path) {
    if (mountPoint == "/") {
        return true;
    }
    return path.compare(0, mountPoint.size(), mountPoint) == 0 &&
           (path.size() == mountPoint.size() || path[mountPoint.size()] == '/');
}

bool IsUsbDevice(const fs::path& sysfsRoot, const fs::path& device, int depth) {
    std::error_code error;
    for (fs::path dir = device; dir.has_relative_path() && dir != sysfsRoot; dir = dir.parent_path()) {
        const fs::path subsystem = fs::read_symlink(dir / "subsystem", error);
        if (!error && subsystem.filename() == "usb") {
            return true;
        }
    }
    if (depth >= kMaxStackDepth) {
        return false;
    }
    // A mapped or RAID device lies on USB when one of the devices under it does.
    for (const fs::path& slaves : {device / "slaves", device.parent_path() / "slaves"}) {
        fs::directory_iterator entry(slaves, error);
        if (error) {
            continue;
        }
        for (; entry != fs::directory_iterator(); entry.increment(error)) {
            const fs::path slave = fs::canonical(entry->path(), error);
            if (!error && IsUsbDevice(sysfsRoot, slave, depth + 1)) {
                return true;
            }
        }
    }
    return false;
}

}  // namespace

LinuxVolume::LinuxVolume(MountEntry entry, std::string sysfsRoot)
    : Volume(entry.mountPoint), entry_(std::move(entry)), sysfsRoot_(std::move(sysfsRoot)) {}

std::shared_ptr<LinuxVolume> LinuxVolume::FromMountInfo(const std::string& mountInfo, const std::string& path,
                                                        const std::string& sysfsRoot) {
    std::istringstream lines(mountInfo);
    std::string line;
    MountEntry best;
    bool found = false;
    while (std::getline(lines, line)) {
        MountEntry entry;
        // Later lines are mounted later and cover earlier ones at the same
        // point, hence >=.
        if (ParseLine(line, &entry) && Holds(entry.mountPoint, path) &&
            (!found || entry.mountPoint.size() >= best.mountPoint.size())) {
            best = std::move(entry);
            found = true;
        }
    }
    if (!found) {
        return nullptr;
    }
    return std::make_shared<LinuxVolume>(std::move(best), sysfsRoot);
}

std::string LinuxVolume::GetFileSystemName() {
    const std::string& type = entry_.fileSystem;
    if (type == "vfat") {
        return "FAT32";
    }
    if (type == "exfat") {
        return "exFAT";
    }
    if (type == "ntfs" || type == "ntfs3") {
        return "NTFS";
    }
    return type;
}

bool LinuxVolume::IsUsb() {
    unsigned major = entry_.major;
    unsigned minor = entry_.minor;
    // Some file systems (btrfs) report an anonymous device number; the
    // mount's source then names the real one.
    struct stat info;
    if (entry_.source.compare(0, 5, "/dev/") == 0 && stat(entry_.source.c_str(), &info) == 0 &&
        S_ISBLK(info.st_mode)) {
        major = ::major(info.st_rdev);
        minor = ::minor(info.st_rdev);
    }
    if (major == 0) {
        return false;
    }
    const fs::path root(sysfsRoot_);
    std::error_code error;
    const fs::path device =
        fs::canonical(root / "dev" / "block" / (std::to_string(major) + ":" + std::to_string(minor)), error);
    if (error) {
        throw FileInaccessibleException();
    }
    return IsUsbDevice(fs::canonical(root, error), device, 0);
}

}  // namespace tvl
