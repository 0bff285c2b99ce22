#pragma once

// The one lock that serialises the file operations of a factory's files opened
// with the shared lock: reads, writes, allocation, view loading and write-back,
// handle closing and deletion. Recursive, because a locked operation may call
// another one of the same file. Shared by pointer between the factory and
// every file and view bound to it.

#include <memory>
#include <mutex>

namespace tvl {

class FileOperationContext {
  public:
    FileOperationContext() = default;
    FileOperationContext(const FileOperationContext&) = delete;
    FileOperationContext& operator=(const FileOperationContext&) = delete;

    std::recursive_mutex& Mutex() { return mutex_; }

  private:
    std::recursive_mutex mutex_;
};

// Holds the context's mutex for the scope, or nothing for a file without lock.
inline std::unique_lock<std::recursive_mutex> LockFileOperations(
    const std::shared_ptr<FileOperationContext>& context) {
    if (!context) {
        return {};
    }
    return std::unique_lock<std::recursive_mutex>(context->Mutex());
}

}  // namespace tvl
