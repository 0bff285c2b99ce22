#include "engine/file/Volume.h"

namespace tvl {

FileSystemType Volume::ToFileSystemType(const std::string& fileSystemName) {
    if (fileSystemName == "NTFS") {
        return FileSystemType::Ntfs;
    }
    if (fileSystemName == "FAT32") {
        return FileSystemType::Fat32;
    }
    if (fileSystemName == "exFAT") {
        return FileSystemType::ExFat;
    }
    return FileSystemType::Other;
}

}  // namespace tvl
