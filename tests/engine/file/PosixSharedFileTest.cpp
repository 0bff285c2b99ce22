#include "engine/file/PosixSharedFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/file/FileExceptions.h"
#include "engine/file/FileOperationContext.h"
#include "engine/file/MemoryMappedFileData.h"
#include "engine/file/PosixSharedFileFactory.h"
#include "engine/manifest/Crc32.h"
#include "tests/support/TemporaryFolder.h"

namespace tvl {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

mode_t ModeOf(const std::string& path) {
    struct stat info;
    EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

class PosixSharedFileTest : public ::testing::Test {
  protected:
    std::shared_ptr<SharedFile> Open(const std::string& relative, OpenMode mode, std::uint64_t lower = 0,
                                     std::uint64_t upper = UINT64_MAX) {
        return factory_.Open(folder_.Path(), relative, mode, false, lower, upper);
    }

    test::TemporaryFolder folder_;
    PosixSharedFileFactory factory_;
};

TEST_F(PosixSharedFileTest, OpenModesCreateOrRefuseAsAsked) {
    EXPECT_THROW(Open("missing.bin", OpenMode::OpenExisting), FileBadPathException);
    EXPECT_FALSE(fs::exists(folder_.Join("missing.bin")));

    Open("a/b/new.bin", OpenMode::CreateNew);
    EXPECT_TRUE(fs::is_regular_file(folder_.Join("a/b/new.bin"))) << "parent folders are created";
    EXPECT_THROW(Open("a/b/new.bin", OpenMode::CreateNew), FileInUseException);

    WriteAll(folder_.Join("kept.bin"), "content");
    EXPECT_EQ(Open("kept.bin", OpenMode::OpenOrCreate)->GetSize(), 7u);
    EXPECT_EQ(Open("kept.bin", OpenMode::OpenExisting)->GetSize(), 7u);
    EXPECT_EQ(ReadAll(folder_.Join("kept.bin")), "content") << "opening never truncates";
    Open("c/created.bin", OpenMode::OpenOrCreate);
    EXPECT_TRUE(fs::is_regular_file(folder_.Join("c/created.bin")));
}

TEST_F(PosixSharedFileTest, PathsThatLeaveTheFolderOrNameNoFileAreBad) {
    test::TemporaryFolder outside;
    const std::string escape = "../" + fs::path(outside.Path()).filename().string() + "/escaped.bin";
    EXPECT_THROW(Open(escape, OpenMode::OpenOrCreate), FileBadPathException);
    EXPECT_THROW(Open(outside.Join("absolute.bin"), OpenMode::OpenOrCreate), FileBadPathException);
    EXPECT_THROW(Open("", OpenMode::OpenOrCreate), FileBadPathException);
    EXPECT_THROW(Open(std::string("nul\0.bin", 8), OpenMode::OpenOrCreate), FileBadPathException);
    EXPECT_TRUE(fs::is_empty(outside.Path()));

    WriteAll(folder_.Join("plain"), "x");
    EXPECT_THROW(Open("plain/below.bin", OpenMode::OpenOrCreate), FileBadPathException)
        << "a file where a folder should be";
    ASSERT_EQ(mkfifo(folder_.Join("pipe").c_str(), 0600), 0);
    EXPECT_THROW(Open("pipe", OpenMode::OpenExisting), FileBadPathException);
}

TEST_F(PosixSharedFileTest, WritesStayInsideTheBounds) {
    WriteAll(folder_.Join("f.bin"), std::string(20, '.'));
    auto file = Open("f.bin", OpenMode::OpenExisting, 5, 9);
    EXPECT_EQ(file->Tell(), 5u) << "the cursor starts at the lower bound";
    EXPECT_THROW(file->Write("ABCDEF", 6), FileOutOfBoundsException);
    EXPECT_EQ(ReadAll(folder_.Join("f.bin")), std::string(20, '.')) << "a refused write writes nothing";
    EXPECT_EQ(file->Write("ABCDE", 5), 5u);
    EXPECT_EQ(file->Tell(), 10u);
    EXPECT_THROW(file->Write("F", 1), FileOutOfBoundsException);
    EXPECT_EQ(ReadAll(folder_.Join("f.bin")), ".....ABCDE..........");
    EXPECT_EQ(file->Write("", 0), 0u) << "an empty write at the end is no access";

    EXPECT_THROW(file->Seek(4), FileOutOfBoundsException);
    EXPECT_THROW(file->Seek(10), FileOutOfBoundsException);
    file->Seek(8);
    char buffer[4] = {};
    EXPECT_THROW(file->Read(buffer, 3), FileOutOfBoundsException);
    EXPECT_EQ(file->Read(buffer, 2), 2u);
    EXPECT_EQ(std::string(buffer, 2), "DE");
}

TEST_F(PosixSharedFileTest, ReadReturnsAtMost4096BytesAndStopsAtTheEnd) {
    std::string content(10000, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) {
        content[i] = static_cast<char>('a' + i % 26);
    }
    WriteAll(folder_.Join("f.bin"), content);
    auto file = Open("f.bin", OpenMode::OpenExisting);
    std::vector<char> buffer(10000);
    std::string read;
    std::size_t calls = 0;
    for (std::size_t n = 1; n != 0 && calls < 10; ++calls) {
        n = file->Read(buffer.data(), buffer.size());
        EXPECT_LE(n, 4096u);
        read.append(buffer.data(), n);
    }
    EXPECT_EQ(read, content);
    EXPECT_EQ(calls, 4u) << "4096 + 4096 + 1808, then 0 at the end";
}

TEST_F(PosixSharedFileTest, AllocateSizesOnlyAnEmptyFile) {
    auto file = Open("f.bin", OpenMode::CreateNew, 0, 1023);
    EXPECT_THROW(file->Allocate(1025), FileOutOfBoundsException);
    EXPECT_EQ(file->GetSize(), 0u);
    EXPECT_TRUE(file->Allocate(1024));
    EXPECT_EQ(file->GetSize(), 1024u);
    EXPECT_EQ(file->Tell(), 0u);
    EXPECT_EQ(ReadAll(folder_.Join("f.bin")), std::string(1024, '\0')) << "a sized file reads as zeros";

    EXPECT_FALSE(file->Allocate(512)) << "not empty any more";
    EXPECT_EQ(file->GetSize(), 1024u);

    WriteAll(folder_.Join("g.bin"), "xyz");
    auto other = Open("g.bin", OpenMode::OpenExisting);
    EXPECT_FALSE(other->Allocate(4096));
    EXPECT_EQ(ReadAll(folder_.Join("g.bin")), "xyz");
    EXPECT_TRUE(Open("h.bin", OpenMode::CreateNew)->Allocate(0));
}

TEST_F(PosixSharedFileTest, ExecuteBitsAreClearedAndRestoredAsTheUmaskAllows) {
    auto file = Open("run.sh", OpenMode::CreateNew);
    const std::string path = folder_.Join("run.sh");
    ASSERT_EQ(chmod(path.c_str(), 04775), 0);
    EXPECT_TRUE(file->DenyExecute());
    EXPECT_EQ(ModeOf(path), 04664u) << "only the execute bits go";

    const mode_t previous = umask(027);
    const bool allowed = file->AllowExecute();
    umask(previous);
    EXPECT_TRUE(allowed);
    EXPECT_EQ(ModeOf(path), 04774u) << "others may not execute under umask 027";

    EXPECT_TRUE(file->AllowExecute()) << "an executable file stays executable";
    EXPECT_TRUE(file->DenyExecute());
    EXPECT_EQ(ModeOf(path) & 0111, 0u);
}

TEST_F(PosixSharedFileTest, SharedLockIsTheFactorysLock) {
    auto locked = factory_.Open(folder_.Path(), "l.bin", OpenMode::CreateNew, true, 0, 99);
    auto unlocked = factory_.Open(folder_.Path(), "u.bin", OpenMode::CreateNew, false, 0, 99);
    EXPECT_EQ(locked->GetLock(), factory_.GetLock("anything"));
    EXPECT_EQ(unlocked->GetLock(), nullptr);
    EXPECT_EQ(factory_.GetLock("a"), factory_.GetLock("b"));
}

// A tmpfs of a few MiB stands in for a full disk; mounting needs root.
class FullFileSystemTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "needs root to mount a small file system";
        }
        if (mount("talvane-test", folder_.Path().c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=4m") != 0) {
            GTEST_SKIP() << "cannot mount tmpfs here: " << std::strerror(errno);
        }
        mounted_ = true;
    }
    void TearDown() override {
        if (mounted_) {
            EXPECT_EQ(umount2(folder_.Path().c_str(), MNT_DETACH), 0) << std::strerror(errno);
        }
    }

    test::TemporaryFolder folder_;
    PosixSharedFileFactory factory_;
    bool mounted_ = false;
};

TEST_F(FullFileSystemTest, AllocateReportsAFullDiskAndLeavesTheFileEmpty) {
    auto file = factory_.Open(folder_.Path(), "big.bin", OpenMode::CreateNew, true, 0, UINT64_MAX);
    EXPECT_THROW(file->Allocate(16u << 20), FileInsufficientSpaceException);
    EXPECT_EQ(file->GetSize(), 0u);
    EXPECT_TRUE(file->Allocate(1u << 20)) << "an allocation that fits still works after the failure";
    EXPECT_EQ(file->GetSize(), 1u << 20);
}

TEST_F(FullFileSystemTest, ADiskThatFillsAfterSizingFailsTheWriteAsAFullDisk) {
    // Both files fit the free room when they are sized, as nothing is reserved;
    // the second cannot be written once the first holds its bytes.
    auto first = factory_.Open(folder_.Path(), "first.bin", OpenMode::CreateNew, true, 0, UINT64_MAX);
    auto second = factory_.Open(folder_.Path(), "second.bin", OpenMode::CreateNew, true, 0, UINT64_MAX);
    constexpr std::uint64_t kSize = 3u << 20;
    ASSERT_TRUE(first->Allocate(kSize));
    ASSERT_TRUE(second->Allocate(kSize));
    const std::vector<char> bytes(kSize, 'x');
    {
        auto view = first->Map(0, kSize - 1);
        ASSERT_EQ(view->Write(bytes.data(), bytes.size()), bytes.size());
        view->Checksum();
    }
    // A view streams a long chunk to the file as it arrives, so the full disk
    // may show at the write already; it must show as such, at the latest at
    // the check.
    auto view = second->Map(0, kSize - 1);
    EXPECT_THROW(
        {
            view->Write(bytes.data(), bytes.size());
            view->Checksum();
        },
        FileInsufficientSpaceException);
    // With room again, the check must see what the file holds, not the body
    // that a write cut short by the full disk was given.
    first.reset();
    std::filesystem::remove(folder_.Join("first.bin"));
    const std::uint32_t crc = view->Checksum();
    std::ifstream in(folder_.Join("second.bin"), std::ios::binary);
    const std::string held((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(held.size(), kSize);
    EXPECT_EQ(crc, Crc32(held.data(), held.size()));
}

}  // namespace
}  // namespace tvl
