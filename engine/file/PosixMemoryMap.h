#pragma once

// What the views of one open file share: their own descriptor of the file (so
// that views may outlive the SharedFile that made them) and the file's lock.
// Created once per file by PosixSharedFile; safe from any thread.

#include <cstdint>
#include <memory>

namespace tvl {

class FileOperationContext;
class PosixMemoryMapView;

class PosixMemoryMap : public std::enable_shared_from_this<PosixMemoryMap> {
  public:
    // Duplicates `fileDescriptor`; failures raise by the file error table.
    PosixMemoryMap(int fileDescriptor, std::shared_ptr<FileOperationContext> lock);
    ~PosixMemoryMap();
    PosixMemoryMap(const PosixMemoryMap&) = delete;
    PosixMemoryMap& operator=(const PosixMemoryMap&) = delete;

    std::shared_ptr<PosixMemoryMapView> CreateView(std::uint64_t first, std::uint64_t last);

    int Descriptor() const { return descriptor_; }
    const std::shared_ptr<FileOperationContext>& GetLock() const { return lock_; }

  private:
    const int descriptor_;
    const std::shared_ptr<FileOperationContext> lock_;
};

}  // namespace tvl
