#include "engine/file/PosixMemoryMap.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "engine/file/FileOperationContext.h"
#include "engine/file/PosixFileErrors.h"
#include "engine/file/PosixMemoryMapView.h"

namespace tvl {
namespace {

int Duplicate(int fileDescriptor) {
    const int copy = fcntl(fileDescriptor, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) {
        ThrowFileError(errno);
    }
    return copy;
}

}  // namespace

PosixMemoryMap::PosixMemoryMap(int fileDescriptor, std::shared_ptr<FileOperationContext> lock)
    : descriptor_(Duplicate(fileDescriptor)), lock_(std::move(lock)) {}

PosixMemoryMap::~PosixMemoryMap() {
    auto lock = LockFileOperations(lock_);
    close(descriptor_);
}

std::shared_ptr<PosixMemoryMapView> PosixMemoryMap::CreateView(std::uint64_t first, std::uint64_t last) {
    return std::make_shared<PosixMemoryMapView>(shared_from_this(), first, last);
}

}  // namespace tvl
