#include "engine/workflow/FileWorks.h"

#include <algorithm>
#include <boost/property_tree/ptree.hpp>
#include <limits>
#include <stdexcept>

#include "engine/file/FileExceptions.h"
#include "engine/file/SharedFile.h"
#include "engine/file/SharedFileFactory.h"
#include "engine/manifest/StandardFileManifest.h"
#include "engine/service/TransferBehavior.h"
#include "engine/service/TransferParams.h"
#include "engine/service/TransferWorkInterface.h"
#include "engine/workflow/ChunkWorks.h"
#include "engine/workflow/TransferSharedFileData.h"
#include "engine/workflow/TransferStatusData.h"

namespace tvl {
namespace {

std::shared_ptr<PackageManifest> RequirePackage(TransferWorkInterface& interface, const char* who) {
    std::shared_ptr<PackageManifest> package = interface.GetPackage();
    if (!package) {
        throw std::logic_error(std::string(who) + " constructed without a package");
    }
    return package;
}

std::shared_ptr<StandardFileManifest> RequireStandardFile(const std::shared_ptr<FileManifest>& file) {
    auto standard = std::dynamic_pointer_cast<StandardFileManifest>(file);
    if (!standard) {
        throw std::logic_error("file work constructed with a file manifest without a chunk layout");
    }
    return standard;
}

std::shared_ptr<TransferSharedFileData> NewFileData(const std::shared_ptr<FileManifest>& file) {
    if (!file) {
        throw std::logic_error("file work constructed without a file manifest");
    }
    return std::make_shared<TransferSharedFileData>(file->GetPath(), file->GetSize());
}

// A file that is not there or cannot be read fails the verification.
WorkStatus UnverifiableFileStatus(std::exception_ptr exception) {
    return WorkStatus(WorkResult::Error,
                      CreateTransferExceptionData(std::move(exception), TransferError::VerificationError));
}

std::uint64_t UpperBound(std::uint64_t size) {
    return size == 0 ? 0 : size - 1;
}

void DescribeFileWork(const char* name, bool important, const TransferWork& work,
                      const TransferSharedFileData* fileData, boost::property_tree::ptree& tree) {
    tree.put("name", name);
    if (important) {
        tree.put("important", true);
    }
    work.DescribeTransfer(tree);
    if (fileData != nullptr) {
        fileData->Describe(tree);
    }
}

// Small files have a chunk or two each, so keeping the request slots full
// takes that many files under way; the transfer's chunk budget bounds what
// they hold.
std::uint32_t TransferFileCapacity(TransferWorkInterface& interface) {
    const TransferSettings& settings = interface.GetBehavior().settings;
    const std::uint64_t base = std::max(settings.parallelWorks, 1u);
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(base + settings.requestSlots, 4096));
}

}  // namespace

bool IsProgramFile(TransferWorkInterface& interface, const std::string& folder, const std::string& path) {
    SharedFileFactory* files = interface.GetBehavior().sharedFileFactory;
    if (files != nullptr && files->IsExecutable(folder, path)) {
        return true;
    }
    const std::shared_ptr<PackageManifest> package = interface.GetPackage();
    return package && !package->GetRun().empty() && package->GetRun() == path;
}

// TransferMultipleFilesWork

std::shared_ptr<TransferMultipleFilesWork> TransferMultipleFilesWork::Create(
    std::shared_ptr<TransferWorkInterface> interface) {
    const std::shared_ptr<PackageManifest> package = RequirePackage(*interface, "TransferMultipleFilesWork");
    const FileManifestList& runFiles = package->GetRunFiles();
    const FileManifestList& otherFiles = package->GetOtherFiles();
    if (runFiles.empty() && otherFiles.empty()) {
        throw std::logic_error("TransferMultipleFilesWork constructed with empty file set");
    }
    auto work = std::make_shared<TransferMultipleFilesWork>(Token(), interface);
    if (!runFiles.empty()) {
        work->AddWork(SequentialTransferMultipleFilesWork::Create(interface, runFiles));
    }
    if (!otherFiles.empty()) {
        work->AddWork(LazyParallelTransferMultipleFilesWork::Create(interface));
    }
    return work;
}

TransferMultipleFilesWork::TransferMultipleFilesWork(Token, std::shared_ptr<TransferWorkInterface> interface)
    : TransferWork(std::move(interface)), SequentialWork(LogCompleteCallback(interface_->GetBehavior()), 2) {}

void TransferMultipleFilesWork::Describe(boost::property_tree::ptree& tree) const {
    DescribeFileWork("TransferMultipleFilesWork", IsImportant(), *this, nullptr, tree);
}

// SequentialTransferMultipleFilesWork

std::shared_ptr<SequentialTransferMultipleFilesWork> SequentialTransferMultipleFilesWork::Create(
    std::shared_ptr<TransferWorkInterface> interface, const FileManifestList& files) {
    if (files.empty()) {
        throw std::logic_error("SequentialTransferMultipleFilesWork constructed with empty cluster");
    }
    auto work = std::make_shared<SequentialTransferMultipleFilesWork>(Token(), interface, files.size());
    for (const auto& file : files) {
        work->AddWork(TransferSingleFileWork::Create(interface, file));
    }
    return work;
}

SequentialTransferMultipleFilesWork::SequentialTransferMultipleFilesWork(
    Token, std::shared_ptr<TransferWorkInterface> interface, std::size_t count)
    : TransferWork(std::move(interface)),
      SequentialWork(LogCompleteCallback(interface_->GetBehavior()), count) {}

void SequentialTransferMultipleFilesWork::Describe(boost::property_tree::ptree& tree) const {
    DescribeFileWork("SequentialTransferMultipleFilesWork", IsImportant(), *this, nullptr, tree);
}

// LazyParallelFilesWork

LazyParallelFilesWork::LazyParallelFilesWork(std::shared_ptr<TransferWorkInterface> interface,
                                             FileManifestList files, std::uint32_t capacity)
    : TransferWork(std::move(interface)),
      LazyParallelWork(LogCompleteCallback(interface_->GetBehavior()), capacity),
      files_(std::move(files)) {}

void LazyParallelFilesWork::Reset() {
    std::lock_guard<std::recursive_mutex> lock(Mutex());
    LazyParallelWork::Reset();
    next_ = 0;
}

std::shared_ptr<Work> LazyParallelFilesWork::GetNextWork() {
    if (next_ >= files_.size()) {
        return nullptr;
    }
    return CreateFileWork(files_[next_++]);
}

std::shared_ptr<LazyParallelTransferMultipleFilesWork> LazyParallelTransferMultipleFilesWork::Create(
    std::shared_ptr<TransferWorkInterface> interface) {
    const std::shared_ptr<PackageManifest> package =
        RequirePackage(*interface, "LazyParallelTransferMultipleFilesWork");
    if (package->GetOtherFiles().empty()) {
        throw std::logic_error("LazyParallelTransferMultipleFilesWork constructed with empty cluster");
    }
    return std::make_shared<LazyParallelTransferMultipleFilesWork>(Token(), std::move(interface),
                                                                   package->GetOtherFiles());
}

LazyParallelTransferMultipleFilesWork::LazyParallelTransferMultipleFilesWork(
    Token, std::shared_ptr<TransferWorkInterface> interface, FileManifestList files)
    : LazyParallelFilesWork(interface, std::move(files), TransferFileCapacity(*interface)) {}

void LazyParallelTransferMultipleFilesWork::Describe(boost::property_tree::ptree& tree) const {
    DescribeFileWork("LazyParallelTransferMultipleFilesWork", IsImportant(), *this, nullptr, tree);
}

std::shared_ptr<Work> LazyParallelTransferMultipleFilesWork::CreateFileWork(
    const std::shared_ptr<FileManifest>& file) {
    return TransferSingleFileWork::Create(interface_, file);
}

std::shared_ptr<LazyParallelVerifyMultipleFilesWork> LazyParallelVerifyMultipleFilesWork::Create(
    std::shared_ptr<TransferWorkInterface> interface) {
    const std::shared_ptr<PackageManifest> package =
        RequirePackage(*interface, "LazyParallelVerifyMultipleFilesWork");
    if (package->GetFiles().empty()) {
        throw std::logic_error("LazyParallelVerifyMultipleFilesWork constructed with empty package");
    }
    return std::make_shared<LazyParallelVerifyMultipleFilesWork>(Token(), std::move(interface),
                                                                 package->GetFiles());
}

LazyParallelVerifyMultipleFilesWork::LazyParallelVerifyMultipleFilesWork(
    Token, std::shared_ptr<TransferWorkInterface> interface, FileManifestList files)
    : LazyParallelFilesWork(interface, std::move(files),
                            std::max(interface->GetBehavior().settings.parallelWorks, 1u)) {}

void LazyParallelVerifyMultipleFilesWork::Describe(boost::property_tree::ptree& tree) const {
    DescribeFileWork("LazyParallelVerifyMultipleFilesWork", IsImportant(), *this, nullptr, tree);
}

std::shared_ptr<Work> LazyParallelVerifyMultipleFilesWork::CreateFileWork(
    const std::shared_ptr<FileManifest>& file) {
    return VerifySingleFileWork::Create(interface_, file);
}

// TransferSingleFileWork

std::shared_ptr<TransferSingleFileWork> TransferSingleFileWork::Create(
    std::shared_ptr<TransferWorkInterface> interface, const std::shared_ptr<FileManifest>& file) {
    auto fileData = NewFileData(file);
    auto work = std::make_shared<TransferSingleFileWork>(Token(), interface, fileData);
    work->AddWork(OpenAndAllocateFileWork::Create(interface, fileData));
    if (fileData->size != 0) {
        work->chunks_ =
            LazyParallelTransferMultipleChunksWork::Create(interface, RequireStandardFile(file), fileData);
        work->AddWork(work->chunks_);
    }
    work->AddWork(CloseFileWork::Create(interface, fileData));
    return work;
}

TransferSingleFileWork::TransferSingleFileWork(Token, std::shared_ptr<TransferWorkInterface> interface,
                                               std::shared_ptr<TransferSharedFileData> fileData)
    : TransferWork(std::move(interface)),
      SequentialWork(LogCompleteCallback(interface_->GetBehavior()), 3),
      fileData_(std::move(fileData)) {}

TransferSingleFileWork::~TransferSingleFileWork() {
    try {
        if (chunks_) {
            chunks_->ReleaseMaps();
        }
        fileData_->file.reset();
        interface_->RegisterFile(fileData_->path);
    } catch (...) {
        // A tree going away has nobody left to tell.
    }
}

void TransferSingleFileWork::Describe(boost::property_tree::ptree& tree) const {
    DescribeFileWork("TransferSingleFileWork", IsImportant(), *this, fileData_.get(), tree);
}

void TransferSingleFileWork::Reset() {
    std::lock_guard<std::recursive_mutex> lock(Mutex());
    SequentialWork::Reset();
    fileData_->file.reset();
}

// VerifySingleFileWork

std::shared_ptr<VerifySingleFileWork> VerifySingleFileWork::Create(
    std::shared_ptr<TransferWorkInterface> interface, const std::shared_ptr<FileManifest>& file) {
    auto fileData = NewFileData(file);
    auto work = std::make_shared<VerifySingleFileWork>(Token(), interface, fileData);
    work->AddWork(OpenExistingFileWork::Create(interface, fileData));
    if (fileData->size != 0) {
        work->AddWork(
            LazyParallelVerifyMultipleChunksWork::Create(interface, RequireStandardFile(file), fileData));
    }
    work->AddWork(CloseFileWork::Create(interface, fileData));
    return work;
}

VerifySingleFileWork::VerifySingleFileWork(Token, std::shared_ptr<TransferWorkInterface> interface,
                                           std::shared_ptr<TransferSharedFileData> fileData)
    : TransferWork(std::move(interface)),
      SequentialWork(LogCompleteCallback(interface_->GetBehavior()), 3),
      fileData_(std::move(fileData)) {}

void VerifySingleFileWork::Describe(boost::property_tree::ptree& tree) const {
    DescribeFileWork("VerifySingleFileWork", IsImportant(), *this, fileData_.get(), tree);
}

void VerifySingleFileWork::Reset() {
    std::lock_guard<std::recursive_mutex> lock(Mutex());
    SequentialWork::Reset();
    fileData_->file.reset();
}

// OpenAndAllocateFileWork

std::shared_ptr<OpenAndAllocateFileWork> OpenAndAllocateFileWork::Create(
    std::shared_ptr<TransferWorkInterface> interface, std::shared_ptr<TransferSharedFileData> fileData) {
    return std::make_shared<OpenAndAllocateFileWork>(Token(), std::move(interface), std::move(fileData));
}

OpenAndAllocateFileWork::OpenAndAllocateFileWork(Token, std::shared_ptr<TransferWorkInterface> interface,
                                                 std::shared_ptr<TransferSharedFileData> fileData)
    : TransferWork(std::move(interface)),
      SimpleWork(LogCompleteCallback(interface_->GetBehavior())),
      fileData_(std::move(fileData)) {}

void OpenAndAllocateFileWork::Describe(boost::property_tree::ptree& tree) const {
    DescribeFileWork("OpenAndAllocateFileWork", IsImportant(), *this, fileData_.get(), tree);
}

void OpenAndAllocateFileWork::Reset() {
    SimpleWork::Reset();
    fileData_->file.reset();
}

WorkStatus OpenAndAllocateFileWork::ExecuteTask() {
    fileData_->allocatedEmpty = false;
    try {
        fileData_->file = OpenAndAllocate(true);
        return WorkStatus(WorkResult::Success);
    } catch (...) {
        return FileExceptionStatus(std::current_exception());
    }
}

std::shared_ptr<SharedFile> OpenAndAllocateFileWork::OpenAndAllocate(bool deleteAllowed) {
    SharedFileFactory* files = interface_->GetBehavior().sharedFileFactory;
    if (files == nullptr) {
        throw std::logic_error("OpenAndAllocateFileWork::ExecuteTask has no shared file factory");
    }
    const std::string folder = interface_->CopyParams().destPath;
    const std::string& path = fileData_->path;
    const std::uint64_t size = fileData_->size;
    std::shared_ptr<SharedFile> file =
        files->Open(folder, path, OpenMode::OpenOrCreate, true, 0, UpperBound(size));
    const bool program = IsProgramFile(*interface_, folder, path);
    if (file->GetSize() == size) {
        // A program file kept from an earlier run may be executable, while
        // its chunks are about to be checked and perhaps replaced.
        if (program) {
            file->DenyExecute();
        }
        return file;
    }
    if (!file->Allocate(size)) {
        file.reset();
        if (deleteAllowed && files->Delete(folder, path, true)) {
            return OpenAndAllocate(false);
        }
        throw FileInUseException();
    }
    fileData_->allocatedEmpty = true;
    if (program) {
        file->DenyExecute();
    }
    return file;
}

// OpenExistingFileWork

std::shared_ptr<OpenExistingFileWork> OpenExistingFileWork::Create(
    std::shared_ptr<TransferWorkInterface> interface, std::shared_ptr<TransferSharedFileData> fileData) {
    return std::make_shared<OpenExistingFileWork>(Token(), std::move(interface), std::move(fileData));
}

OpenExistingFileWork::OpenExistingFileWork(Token, std::shared_ptr<TransferWorkInterface> interface,
                                           std::shared_ptr<TransferSharedFileData> fileData)
    : TransferWork(std::move(interface)),
      SimpleWork(LogCompleteCallback(interface_->GetBehavior())),
      fileData_(std::move(fileData)) {}

void OpenExistingFileWork::Describe(boost::property_tree::ptree& tree) const {
    DescribeFileWork("OpenExistingFileWork", IsImportant(), *this, fileData_.get(), tree);
}

void OpenExistingFileWork::Reset() {
    SimpleWork::Reset();
    fileData_->file.reset();
}

WorkStatus OpenExistingFileWork::ExecuteTask() {
    try {
        SharedFileFactory* files = interface_->GetBehavior().sharedFileFactory;
        if (files == nullptr) {
            throw std::logic_error("OpenExistingFileWork::ExecuteTask has no shared file factory");
        }
        std::shared_ptr<SharedFile> file =
            files->Open(interface_->CopyParams().destPath, fileData_->path, OpenMode::OpenExisting, true, 0,
                        UpperBound(fileData_->size));
        if (file->GetSize() != fileData_->size) {
            return TransferErrorStatus(TransferError::VerificationError,
                                       "OpenExistingFileWork::ExecuteTask: size mismatch");
        }
        fileData_->file = std::move(file);
        return WorkStatus(WorkResult::Success);
    } catch (const FileBadPathException&) {
        return UnverifiableFileStatus(std::current_exception());
    } catch (const FileInaccessibleException&) {
        return UnverifiableFileStatus(std::current_exception());
    } catch (const FileInsufficientSpaceException&) {
        return UnverifiableFileStatus(std::current_exception());
    } catch (...) {
        return FileExceptionStatus(std::current_exception());
    }
}

// CloseFileWork

std::shared_ptr<CloseFileWork> CloseFileWork::Create(std::shared_ptr<TransferWorkInterface> interface,
                                                     std::shared_ptr<TransferSharedFileData> fileData) {
    return std::make_shared<CloseFileWork>(Token(), std::move(interface), std::move(fileData));
}

CloseFileWork::CloseFileWork(Token, std::shared_ptr<TransferWorkInterface> interface,
                             std::shared_ptr<TransferSharedFileData> fileData)
    : TransferWork(std::move(interface)),
      SimpleWork(LogCompleteCallback(interface_->GetBehavior())),
      fileData_(std::move(fileData)) {}

void CloseFileWork::Describe(boost::property_tree::ptree& tree) const {
    DescribeFileWork("CloseFileWork", IsImportant(), *this, fileData_.get(), tree);
}

WorkStatus CloseFileWork::ExecuteTask() {
    fileData_->file.reset();
    return WorkStatus(WorkResult::Success);
}

}  // namespace tvl
