#pragma once

// Every file access of the engine: opening package and store files inside a
// folder, deleting a file with the folders it leaves empty, and questions about
// paths (executable-looking, hidden, empty folder, volume). One factory is
// shared by the whole service; all operations may be called from any thread.

#include <cstdint>
#include <memory>
#include <string>

namespace tvl {

class FileOperationContext;
class SharedFile;
class Volume;

enum class OpenMode : std::uint8_t { OpenOrCreate = 0, CreateNew = 1, OpenExisting = 2 };

class SharedFileFactory {
  public:
    SharedFileFactory();
    virtual ~SharedFileFactory();
    SharedFileFactory(const SharedFileFactory&) = delete;
    SharedFileFactory& operator=(const SharedFileFactory&) = delete;

    // The file at folder joined with relativePath, bound to [lowerBound,
    // upperBound] and, with useSharedLock, to the factory's lock. Modes that
    // may create the file create its missing parent folders too.
    virtual std::shared_ptr<SharedFile> Open(const std::string& folder, const std::string& relativePath,
                                             OpenMode mode, bool useSharedLock, std::uint64_t lowerBound,
                                             std::uint64_t upperBound) = 0;
    // Removes the file, then each parent folder of relativePath that is left
    // empty, innermost first, never `folder` itself. True when the file was
    // removed; failures end the walk and never throw.
    virtual bool Delete(const std::string& folder, const std::string& relativePath, bool useSharedLock);
    // The same lock for every path.
    virtual std::shared_ptr<FileOperationContext> GetLock(const std::string& path);
    // By the file name's extension alone; the file need not exist.
    virtual bool IsExecutable(const std::string& folder, const std::string& relativePath) = 0;
    virtual bool IsHidden(const std::string& path) = 0;
    // True when the folder holds nothing or, with ignoreHidden, only hidden
    // entries. FileBadPathException when the folder cannot be opened,
    // FileInaccessibleException when reading it fails.
    virtual bool IsEmpty(const std::string& folder, bool ignoreHidden);
    virtual std::shared_ptr<Volume> GetVolume(const std::string& path) = 0;

  protected:
    const std::shared_ptr<FileOperationContext>& Context() const { return context_; }

  private:
    const std::shared_ptr<FileOperationContext> context_;
};

}  // namespace tvl
