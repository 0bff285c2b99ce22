#pragma once

// The file level of a transfer's trees. A download transfers the package's
// run files one after another, then the other files with a bounded number in
// parallel; a verification checks every file with a bounded number in
// parallel. Each file is a small sequence: open (create and size the file,
// or check the existing file's size), its chunk works, close. The open file
// is shared with the chunk works through the file's TransferSharedFileData.
//
// On Linux a program usually has no extension, so the package's run file
// counts as a program file whatever its name: like every program file it is
// denied execution while it downloads, until the allow-execute work lifts it.
//
// Threading as for every composite and simple work; none of these works can
// be interrupted (Abort does nothing).

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/manifest/PackageManifest.h"
#include "engine/work/LazyParallelWork.h"
#include "engine/work/SequentialWork.h"
#include "engine/work/SimpleWork.h"
#include "engine/workflow/TransferWork.h"

namespace tvl {

class LazyParallelTransferMultipleChunksWork;
class SharedFile;
class TransferSharedFileData;

// The run files in sequence, then the other files lazily in parallel.
class TransferMultipleFilesWork : public TransferWork, public SequentialWork {
    struct Token {};

  public:
    // Throws std::logic_error when the acquired package has no files.
    static std::shared_ptr<TransferMultipleFilesWork> Create(
        std::shared_ptr<TransferWorkInterface> interface);
    TransferMultipleFilesWork(Token, std::shared_ptr<TransferWorkInterface> interface);

    void Describe(boost::property_tree::ptree& tree) const override;
};

class SequentialTransferMultipleFilesWork : public TransferWork, public SequentialWork {
    struct Token {};

  public:
    // Throws std::logic_error for an empty list.
    static std::shared_ptr<SequentialTransferMultipleFilesWork> Create(
        std::shared_ptr<TransferWorkInterface> interface, const FileManifestList& files);
    SequentialTransferMultipleFilesWork(Token, std::shared_ptr<TransferWorkInterface> interface,
                                        std::size_t count);

    void Describe(boost::property_tree::ptree& tree) const override;
    bool IsImportant() const override { return true; }
};

// Generates one single-file work per file of a list, at most `parallelWorks`
// running at once.
class LazyParallelFilesWork : public TransferWork, public LazyParallelWork {
  public:
    void Reset() override;

  protected:
    LazyParallelFilesWork(std::shared_ptr<TransferWorkInterface> interface, FileManifestList files,
                          std::uint32_t capacity);

    std::shared_ptr<Work> GetNextWork() override;
    virtual std::shared_ptr<Work> CreateFileWork(const std::shared_ptr<FileManifest>& file) = 0;

  private:
    const FileManifestList files_;
    std::size_t next_ = 0;
};

class LazyParallelTransferMultipleFilesWork : public LazyParallelFilesWork {
    struct Token {};

  public:
    // Throws std::logic_error when the package has no other files than its run files.
    static std::shared_ptr<LazyParallelTransferMultipleFilesWork> Create(
        std::shared_ptr<TransferWorkInterface> interface);
    LazyParallelTransferMultipleFilesWork(Token, std::shared_ptr<TransferWorkInterface> interface,
                                          FileManifestList files);

    void Describe(boost::property_tree::ptree& tree) const override;
    bool IsImportant() const override { return true; }

  protected:
    std::shared_ptr<Work> CreateFileWork(const std::shared_ptr<FileManifest>& file) override;
};

class LazyParallelVerifyMultipleFilesWork : public LazyParallelFilesWork {
    struct Token {};

  public:
    // Throws std::logic_error when the package has no files.
    static std::shared_ptr<LazyParallelVerifyMultipleFilesWork> Create(
        std::shared_ptr<TransferWorkInterface> interface);
    LazyParallelVerifyMultipleFilesWork(Token, std::shared_ptr<TransferWorkInterface> interface,
                                        FileManifestList files);

    void Describe(boost::property_tree::ptree& tree) const override;
    bool IsImportant() const override { return true; }

  protected:
    std::shared_ptr<Work> CreateFileWork(const std::shared_ptr<FileManifest>& file) override;
};

// Open and allocate, the chunks (none for an empty file), close. When the
// tree goes away the file is released and registered with the transfer,
// which records it or, when cancelled with deletion, deletes it.
class TransferSingleFileWork : public TransferWork, public SequentialWork {
    struct Token {};

  public:
    static std::shared_ptr<TransferSingleFileWork> Create(std::shared_ptr<TransferWorkInterface> interface,
                                                          const std::shared_ptr<FileManifest>& file);
    TransferSingleFileWork(Token, std::shared_ptr<TransferWorkInterface> interface,
                           std::shared_ptr<TransferSharedFileData> fileData);
    ~TransferSingleFileWork() override;

    void Describe(boost::property_tree::ptree& tree) const override;
    bool IsImportant() const override { return true; }
    void Reset() override;

    const std::shared_ptr<TransferSharedFileData>& GetFileData() const { return fileData_; }

  private:
    const std::shared_ptr<TransferSharedFileData> fileData_;
    std::shared_ptr<LazyParallelTransferMultipleChunksWork> chunks_;
};

// Open existing, verify the chunks, close. Registers nothing.
class VerifySingleFileWork : public TransferWork, public SequentialWork {
    struct Token {};

  public:
    static std::shared_ptr<VerifySingleFileWork> Create(std::shared_ptr<TransferWorkInterface> interface,
                                                        const std::shared_ptr<FileManifest>& file);
    VerifySingleFileWork(Token, std::shared_ptr<TransferWorkInterface> interface,
                         std::shared_ptr<TransferSharedFileData> fileData);

    void Describe(boost::property_tree::ptree& tree) const override;
    bool IsImportant() const override { return true; }
    void Reset() override;

    const std::shared_ptr<TransferSharedFileData>& GetFileData() const { return fileData_; }

  private:
    const std::shared_ptr<TransferSharedFileData> fileData_;
};

// Opens the file, creating it when missing, and gives it its size. A file of
// the right length keeps its content (the chunk works decide what to fetch);
// one of another length is deleted once and created again.
class OpenAndAllocateFileWork : public TransferWork, public SimpleWork {
    struct Token {};

  public:
    static std::shared_ptr<OpenAndAllocateFileWork> Create(std::shared_ptr<TransferWorkInterface> interface,
                                                           std::shared_ptr<TransferSharedFileData> fileData);
    OpenAndAllocateFileWork(Token, std::shared_ptr<TransferWorkInterface> interface,
                            std::shared_ptr<TransferSharedFileData> fileData);

    void Describe(boost::property_tree::ptree& tree) const override;
    bool IsImportant() const override { return true; }
    void Reset() override;
    void Abort() override {}

  protected:
    WorkStatus ExecuteTask() override;

  private:
    std::shared_ptr<SharedFile> OpenAndAllocate(bool deleteAllowed);

    const std::shared_ptr<TransferSharedFileData> fileData_;
};

// Opens an existing file for verification; a missing, unreadable or wrongly
// sized file fails the verification with transfer error 6.
class OpenExistingFileWork : public TransferWork, public SimpleWork {
    struct Token {};

  public:
    static std::shared_ptr<OpenExistingFileWork> Create(std::shared_ptr<TransferWorkInterface> interface,
                                                        std::shared_ptr<TransferSharedFileData> fileData);
    OpenExistingFileWork(Token, std::shared_ptr<TransferWorkInterface> interface,
                         std::shared_ptr<TransferSharedFileData> fileData);

    void Describe(boost::property_tree::ptree& tree) const override;
    bool IsImportant() const override { return true; }
    void Reset() override;
    void Abort() override {}

  protected:
    WorkStatus ExecuteTask() override;

  private:
    const std::shared_ptr<TransferSharedFileData> fileData_;
};

// Lets go of the file; it closes when its last holder does.
class CloseFileWork : public TransferWork, public SimpleWork {
    struct Token {};

  public:
    static std::shared_ptr<CloseFileWork> Create(std::shared_ptr<TransferWorkInterface> interface,
                                                 std::shared_ptr<TransferSharedFileData> fileData);
    CloseFileWork(Token, std::shared_ptr<TransferWorkInterface> interface,
                  std::shared_ptr<TransferSharedFileData> fileData);

    void Describe(boost::property_tree::ptree& tree) const override;
    void Abort() override {}

  protected:
    WorkStatus ExecuteTask() override;

  private:
    const std::shared_ptr<TransferSharedFileData> fileData_;
};

// Whether the package treats this file as a program: by extension, or as the
// package's run file.
bool IsProgramFile(TransferWorkInterface& interface, const std::string& folder, const std::string& path);

}  // namespace tvl
