// The leaves and small composites of the work trees on a fake transfer: chunk
// verification and its progress accounting, the missing-prerequisite errors,
// the file works' allocation rules and the allow-execute work.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <boost/property_tree/ptree.hpp>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "engine/file/MemoryMappedFileData.h"
#include "engine/file/PosixSharedFileFactory.h"
#include "engine/file/SharedFile.h"
#include "engine/manifest/Crc32.h"
#include "engine/manifest/ManifestParsing.h"
#include "engine/manifest/StandardPackageManifest.h"
#include "engine/service/TransferBehavior.h"
#include "engine/service/TransferParams.h"
#include "engine/service/TransferProgressUpdater.h"
#include "engine/service/TransferWorkInterface.h"
#include "engine/work/DeferredWork.h"
#include "engine/work/NoOpWork.h"
#include "engine/workflow/AllowExecuteWork.h"
#include "engine/workflow/ChunkWorks.h"
#include "engine/workflow/FileWorks.h"
#include "engine/workflow/OptimizedRequestChunkWork.h"
#include "engine/workflow/PackageWorks.h"
#include "engine/workflow/TransferSharedFileData.h"
#include "engine/workflow/TransferSharedMapData.h"
#include "engine/workflow/TransferStatusData.h"
#include "tests/support/FakeTransferWorkInterface.h"
#include "tests/support/TemporaryFolder.h"

namespace tvl {
namespace {

namespace fs = std::filesystem;

using test::CountingProgress;
using test::FakeTransfer;

std::shared_ptr<PackageManifest> ParsePackage(const std::string& xml) {
    std::istringstream in(xml);
    boost::property_tree::ptree tree;
    ParseXmlManifest(in, tree);
    auto package = std::make_shared<StandardPackageManifest>();
    package->Read(tree);
    return package;
}

TransferError ErrorOf(const WorkStatus& status) {
    const auto* data = dynamic_cast<const TransferStatusData*>(status.data.get());
    return data != nullptr ? data->ToTransferError() : TransferError::None;
}

std::string MessageOf(const WorkStatus& status) {
    const auto* data = dynamic_cast<const WorkErrorData*>(status.data.get());
    return data != nullptr ? data->GetMessage() : std::string();
}

bool Executable(const fs::path& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && (info.st_mode & 0111) != 0;
}

class WorkLeafTest : public ::testing::Test {
  protected:
    WorkLeafTest() : interface_(std::make_shared<FakeTransfer>()) {
        interface_->params.destPath = folder_.Path();
        interface_->behavior.sharedFileFactory = &files_;
        interface_->behavior.settings.parallelWorks = 2;
    }

    // A file of `bytes` opened as the file works would, and a chunk over [lower, upper].
    std::shared_ptr<TransferSharedMapData> Chunk(const std::string& bytes, std::uint64_t lower,
                                                 std::uint64_t upper, std::uint32_t checksum) {
        std::ofstream(folder_.Join("chunked.bin"), std::ios::binary) << bytes;
        auto fileData = std::make_shared<TransferSharedFileData>("chunked.bin", bytes.size());
        fileData->file =
            files_.Open(folder_.Path(), "chunked.bin", OpenMode::OpenExisting, true, 0, bytes.size() - 1);
        return std::make_shared<TransferSharedMapData>(fileData, lower, upper, checksum,
                                                       interface_->progress);
    }

    test::TemporaryFolder folder_;
    PosixSharedFileFactory files_;
    std::shared_ptr<FakeTransfer> interface_;
};

TEST_F(WorkLeafTest, MatchingChunkCountsItsBytesAsDoneAndVerifiedOnce) {
    const std::string bytes(3000, 'q');
    auto chunk = Chunk(bytes, 1000, 1999, Crc32(bytes.data() + 1000, 1000));
    ASSERT_EQ(CreateChunkMapWork::Create(interface_, chunk)->Run().result, WorkResult::Success);
    ASSERT_TRUE(chunk->map);

    const WorkStatus status = VerifyChunkWork::Create(interface_, chunk)->Run();

    EXPECT_EQ(status.result, WorkResult::Success);
    EXPECT_EQ(interface_->progress->done, 1000u);
    EXPECT_EQ(interface_->progress->verified, 1000u);
    EXPECT_EQ(chunk->fileProgressBytes, 1000u);

    // A download that had already counted part of the chunk is topped up, not
    // counted twice; one that counted too much is trimmed.
    interface_->progress->done = 0;
    chunk->fileProgressBytes = 400;
    VerifyChunkWork::Create(interface_, chunk)->Run();
    EXPECT_EQ(interface_->progress->done, 600u);
    chunk->fileProgressBytes = 1500;
    VerifyChunkWork::Create(interface_, chunk)->Run();
    EXPECT_EQ(interface_->progress->done, 100u);
    EXPECT_EQ(chunk->fileProgressBytes, 1000u);

    ASSERT_EQ(ReleaseChunkMapWork::Create(interface_, chunk)->Run().result, WorkResult::Success);
    EXPECT_FALSE(chunk->map);
}

TEST_F(WorkLeafTest, MismatchWithdrawsProgressAndMarksTheServingNodeOnce) {
    const std::string bytes(2048, 'z');
    const std::uint32_t actual = Crc32(bytes.data(), 1024);
    auto chunk = Chunk(bytes, 0, 1023, actual ^ 1);
    ASSERT_EQ(CreateChunkMapWork::Create(interface_, chunk)->Run().result, WorkResult::Success);
    interface_->progress->AddDone(1024);
    chunk->fileProgressBytes = 1024;
    chunk->lastRequestStatus.result = HttpRequestResult::Success;
    chunk->lastNodeIndex = 33;

    const WorkStatus status = VerifyChunkWork::Create(interface_, chunk)->Run();

    EXPECT_EQ(status.result, WorkResult::Failure);
    EXPECT_EQ(ErrorOf(status), TransferError::VerificationError);
    const auto* checksum = dynamic_cast<const ChecksumStatusData*>(status.data.get());
    ASSERT_NE(checksum, nullptr);
    EXPECT_EQ(checksum->GetActualChecksum(), actual);
    EXPECT_EQ(interface_->progress->done, 0u);
    EXPECT_EQ(interface_->progress->verified, 0u);
    EXPECT_EQ(chunk->fileProgressBytes, 0u);
    EXPECT_EQ(chunk->failedNodeMask, 2u);
    EXPECT_EQ(chunk->failedNodeCount, 1u);
    EXPECT_EQ(chunk->map->Tell(), 0u);

    VerifyChunkWork::Create(interface_, chunk)->Run();
    EXPECT_EQ(chunk->failedNodeCount, 1u);
    // Bytes that no request brought blame no node.
    chunk->lastRequestStatus.result = HttpRequestResult::HttpServerError;
    chunk->lastNodeIndex = 4;
    VerifyChunkWork::Create(interface_, chunk)->Run();
    EXPECT_EQ(chunk->failedNodeMask, 2u);
}

TEST_F(WorkLeafTest, ChunkWorksWithoutFileOrMapAreInternalErrors) {
    auto fileData = std::make_shared<TransferSharedFileData>("none.bin", 10);
    auto chunk = std::make_shared<TransferSharedMapData>(fileData, 0, 9, 0, interface_->progress);

    const WorkStatus map = CreateChunkMapWork::Create(interface_, chunk)->Run();
    EXPECT_EQ(map.result, WorkResult::Error);
    EXPECT_EQ(ErrorOf(map), TransferError::InternalError);
    EXPECT_EQ(MessageOf(map), "CreateChunkMapWork::ExecuteTask has no shared file");
    EXPECT_EQ(MessageOf(PrefetchChunkWork::Create(interface_, chunk)->Run()),
              "PrefetchChunkWork::ExecuteTask has no shared map");
    EXPECT_EQ(MessageOf(VerifyChunkWork::Create(interface_, chunk)->Run()),
              "VerifyChunkWork::ExecuteTask has no shared map");
    const WorkStatus request = OptimizedRequestChunkWork::Create(interface_, chunk, nullptr, 4)->Run();
    EXPECT_EQ(request.result, WorkResult::Error);
    EXPECT_EQ(MessageOf(request), "OptimizedRequestChunkWork::ExecuteTask has no shared map");
}

TEST_F(WorkLeafTest, ChunkOutsideTheFileIsAFileError) {
    auto chunk = Chunk(std::string(100, 'a'), 50, 149, 0);

    const WorkStatus status = CreateChunkMapWork::Create(interface_, chunk)->Run();

    EXPECT_EQ(status.result, WorkResult::Error);
    EXPECT_EQ(ErrorOf(status), TransferError::InternalError);
    EXPECT_FALSE(chunk->map);
}

TEST_F(WorkLeafTest, OpenAndAllocateCreatesSizesAndKeepsOrRecreates) {
    auto fileData = std::make_shared<TransferSharedFileData>("sub/dir/new.bin", 5000);
    auto open = OpenAndAllocateFileWork::Create(interface_, fileData);

    ASSERT_EQ(open->Run().result, WorkResult::Success);
    ASSERT_TRUE(fileData->file);
    EXPECT_EQ(fs::file_size(folder_.Join("sub/dir/new.bin")), 5000u);
    fileData->file.reset();

    // The right length keeps its content.
    std::ofstream(folder_.Join("kept.bin"), std::ios::binary) << std::string(64, 'k');
    auto kept = std::make_shared<TransferSharedFileData>("kept.bin", 64);
    ASSERT_EQ(OpenAndAllocateFileWork::Create(interface_, kept)->Run().result, WorkResult::Success);
    kept->file.reset();
    std::ifstream in(folder_.Join("kept.bin"), std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), std::string(64, 'k'));

    // Another length is deleted and created again at the right one.
    std::ofstream(folder_.Join("wrong.bin"), std::ios::binary) << std::string(10, 'w');
    auto wrong = std::make_shared<TransferSharedFileData>("wrong.bin", 300);
    ASSERT_EQ(OpenAndAllocateFileWork::Create(interface_, wrong)->Run().result, WorkResult::Success);
    wrong->file.reset();
    EXPECT_EQ(fs::file_size(folder_.Join("wrong.bin")), 300u);

    // Reset drops the open file.
    auto reopened = std::make_shared<TransferSharedFileData>("sub/dir/new.bin", 5000);
    auto work = OpenAndAllocateFileWork::Create(interface_, reopened);
    work->Run();
    EXPECT_TRUE(reopened->file);
    work->Reset();
    EXPECT_FALSE(reopened->file);
}

TEST_F(WorkLeafTest, DestinationThatIsAFileFailsWithAFileError) {
    std::ofstream(folder_.Join("plain"), std::ios::binary) << "x";
    interface_->params.destPath = folder_.Join("plain");  // a file where a folder should be
    auto fileData = std::make_shared<TransferSharedFileData>("a.bin", 10);

    const WorkStatus status = OpenAndAllocateFileWork::Create(interface_, fileData)->Run();

    EXPECT_NE(status.result, WorkResult::Success);
    EXPECT_NE(ErrorOf(status), TransferError::None);
    EXPECT_FALSE(fileData->file);
}

TEST_F(WorkLeafTest, OpenExistingReportsMissingAndWrongSizeAsVerificationErrors) {
    auto missing = std::make_shared<TransferSharedFileData>("absent.bin", 10);
    const WorkStatus absent = OpenExistingFileWork::Create(interface_, missing)->Run();
    EXPECT_EQ(absent.result, WorkResult::Error);
    EXPECT_EQ(ErrorOf(absent), TransferError::VerificationError);
    EXPECT_FALSE(fs::exists(folder_.Join("absent.bin")));

    std::ofstream(folder_.Join("short.bin"), std::ios::binary) << "abc";
    auto wrong = std::make_shared<TransferSharedFileData>("short.bin", 10);
    const WorkStatus size = OpenExistingFileWork::Create(interface_, wrong)->Run();
    EXPECT_EQ(ErrorOf(size), TransferError::VerificationError);
    EXPECT_EQ(MessageOf(size), "OpenExistingFileWork::ExecuteTask: size mismatch");
    EXPECT_FALSE(wrong->file);
}

TEST_F(WorkLeafTest, ProgramFilesAndTheRunFileAreDeniedExecutionWhenAllocated) {
    interface_->package = ParsePackage(
        "<package id=\"p\" name=\"n\" partnerId=\"x\" versionId=\"1\" run=\"bin/start\"><files>"
        "<file path=\"bin/start\" size=\"4\" chunksize=\"4\" checksums=\"00000000\"/>"
        "<file path=\"setup.exe\" size=\"4\" chunksize=\"4\" checksums=\"00000000\"/>"
        "<file path=\"readme\" size=\"4\" chunksize=\"4\" checksums=\"00000000\"/></files></package>");
    for (const char* path : {"bin/start", "setup.exe", "readme"}) {
        auto fileData = std::make_shared<TransferSharedFileData>(path, 4);
        ASSERT_EQ(OpenAndAllocateFileWork::Create(interface_, fileData)->Run().result, WorkResult::Success);
        fs::permissions(folder_.Join(path), fs::perms::owner_exec, fs::perm_options::add);
    }
    // Opened again for a new run: program files lose the bit, others keep theirs.
    for (const char* path : {"bin/start", "setup.exe", "readme"}) {
        auto fileData = std::make_shared<TransferSharedFileData>(path, 4);
        ASSERT_EQ(OpenAndAllocateFileWork::Create(interface_, fileData)->Run().result, WorkResult::Success);
    }
    EXPECT_FALSE(Executable(folder_.Join("bin/start")));
    EXPECT_FALSE(Executable(folder_.Join("setup.exe")));
    EXPECT_TRUE(Executable(folder_.Join("readme")));

    const WorkStatus allowed = AllowExecuteWork::Create(interface_)->Run();

    EXPECT_EQ(allowed.result, WorkResult::Success);
    EXPECT_TRUE(Executable(folder_.Join("bin/start")));
    EXPECT_TRUE(Executable(folder_.Join("setup.exe")));
}

TEST_F(WorkLeafTest, AllowExecuteNeedsThePackageAndItsProgramFiles) {
    const WorkStatus noPackage = AllowExecuteWork::Create(interface_)->Run();
    EXPECT_EQ(noPackage.result, WorkResult::Error);
    EXPECT_EQ(ErrorOf(noPackage), TransferError::InternalError);
    EXPECT_EQ(MessageOf(noPackage), "AllowExecuteWork::ExecuteTask has no package");

    interface_->package = ParsePackage(
        "<package id=\"p\" name=\"n\" partnerId=\"x\" versionId=\"1\"><files>"
        "<file path=\"gone.exe\" size=\"4\" chunksize=\"4\" checksums=\"00000000\"/></files></package>");
    const WorkStatus gone = AllowExecuteWork::Create(interface_)->Run();
    EXPECT_EQ(gone.result, WorkResult::Error);
    EXPECT_EQ(ErrorOf(gone), TransferError::FileAccessError);
    EXPECT_FALSE(fs::exists(folder_.Join("gone.exe")));

    // Without program files nothing is opened.
    interface_->package = ParsePackage(
        "<package id=\"p\" name=\"n\" partnerId=\"x\" versionId=\"1\"><files>"
        "<file path=\"data.bin\" size=\"4\" chunksize=\"4\" checksums=\"00000000\"/></files></package>");
    EXPECT_EQ(AllowExecuteWork::Create(interface_)->Run().result, WorkResult::Success);
}

TEST_F(WorkLeafTest, FileTreesRefuseEmptyInput) {
    EXPECT_THROW(TransferMultipleFilesWork::Create(interface_), std::logic_error);
    interface_->package =
        ParsePackage("<package id=\"p\" name=\"n\" partnerId=\"x\" versionId=\"1\"><files/></package>");
    try {
        TransferMultipleFilesWork::Create(interface_);
        ADD_FAILURE() << "an empty package was accepted";
    } catch (const std::logic_error& e) {
        EXPECT_STREQ(e.what(), "TransferMultipleFilesWork constructed with empty file set");
    }
    EXPECT_THROW(LazyParallelVerifyMultipleFilesWork::Create(interface_), std::logic_error);
    EXPECT_THROW(LazyParallelTransferMultipleFilesWork::Create(interface_), std::logic_error);
    EXPECT_THROW(SequentialTransferMultipleFilesWork::Create(interface_, {}), std::logic_error);
}

TEST_F(WorkLeafTest, ConstructWorkAssignsTheDeferredWorkOnlyOnce) {
    interface_->package = ParsePackage(
        "<package id=\"p\" name=\"n\" partnerId=\"x\" versionId=\"1\"><files>"
        "<file path=\"a.bin\" size=\"4\" chunksize=\"4\" checksums=\"00000000\"/></files></package>");
    auto deferred = DeferredWork::Create();
    auto construct = ConstructVerifyFromPackageWork::Create(interface_, deferred);

    EXPECT_EQ(construct->Run().result, WorkResult::Success);
    EXPECT_NE(std::dynamic_pointer_cast<LazyParallelVerifyMultipleFilesWork>(deferred->GetWork()), nullptr);

    construct->Reset();
    const WorkStatus again = construct->Run();
    EXPECT_EQ(again.result, WorkResult::Error);
    EXPECT_EQ(ErrorOf(again), TransferError::InternalError);
    EXPECT_EQ(MessageOf(again),
              "ConstructVerifyFromPackageWork::ExecuteTask failed; DeferredWork already assigned");

    // A file-level tree that cannot be built is an internal error too.
    interface_->package.reset();
    const WorkStatus noPackage =
        ConstructTransferFromPackageWork::Create(interface_, DeferredWork::Create())->Run();
    EXPECT_EQ(noPackage.result, WorkResult::Error);
    EXPECT_EQ(ErrorOf(noPackage), TransferError::InternalError);
}

TEST_F(WorkLeafTest, SingleFileWorkRegistersItsFileWhenItGoesAway) {
    interface_->package = ParsePackage(
        "<package id=\"p\" name=\"n\" partnerId=\"x\" versionId=\"1\"><files>"
        "<file path=\"a.bin\" size=\"4\" chunksize=\"4\" checksums=\"00000000\"/></files></package>");
    auto work = TransferSingleFileWork::Create(interface_, interface_->package->GetFiles().front());
    auto verify = VerifySingleFileWork::Create(interface_, interface_->package->GetFiles().front());
    boost::property_tree::ptree tree;
    work->Describe(tree);
    EXPECT_EQ(tree.get<std::string>("name"), "TransferSingleFileWork");
    EXPECT_EQ(tree.get<std::string>("important"), "true");
    EXPECT_EQ(tree.get<std::string>("filePath"), "a.bin");
    EXPECT_EQ(tree.get<std::string>("fileSize"), "4");

    work.reset();
    verify.reset();

    EXPECT_EQ(interface_->registered, std::vector<std::string>{"a.bin"});
}

}  // namespace
}  // namespace tvl
