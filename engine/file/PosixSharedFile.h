#pragma once

// A SharedFile over a POSIX file descriptor: positioned reads and writes
// (pread/pwrite) at the file's own cursor, sizing by ftruncate after a check
// of the free room, execute permission bits in place of access-list entries,
// and views through one PosixMemoryMap per file. Locking as for SharedFile;
// Map may be called from any thread.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "engine/file/SharedFile.h"
#include "engine/file/SharedFileFactory.h"

namespace tvl {

class PosixMemoryMap;

class PosixSharedFile : public SharedFile {
  public:
    // Opens (and for OpenOrCreate and CreateNew creates, with its missing
    // parent folders) folder/relativePath for reading and writing. The
    // relative path must stay inside the folder.
    PosixSharedFile(const std::string& folder, const std::string& relativePath, OpenMode mode,
                    std::shared_ptr<FileOperationContext> lock, std::uint64_t lowerBound,
                    std::uint64_t upperBound);
    ~PosixSharedFile() override;

    std::uint64_t Tell() override;
    void Seek(std::uint64_t position) override;
    // At most 4096 bytes per call; fewer at the end of the file.
    std::size_t Read(void* buffer, std::size_t size) override;
    std::size_t Write(const void* buffer, std::size_t size) override;
    std::uint64_t GetSize() override;
    // Sets the length after checking that the volume has room for it (the
    // blocks are not reserved, see the definition): too little room is
    // reported here as FileInsufficientSpaceException, and the file is left
    // empty. A disk that fills up later fails a chunk's write the same way.
    bool Allocate(std::uint64_t size) override;
    // Sets the execute bits for owner, group and others as the umask allows.
    bool AllowExecute() override;
    // Clears every execute bit.
    bool DenyExecute() override;
    using SharedFile::Map;
    std::shared_ptr<MemoryMappedFileData> Map(std::uint64_t first, std::uint64_t last) override;

    const std::string& GetPath() const { return fullPath_; }

  private:
    bool ChangeMode(bool executable);

    int descriptor_ = -1;
    std::mutex mapMutex_;
    std::shared_ptr<PosixMemoryMap> map_;
    std::string fullPath_;
    std::atomic<std::uint64_t> cursor_;
};

}  // namespace tvl
