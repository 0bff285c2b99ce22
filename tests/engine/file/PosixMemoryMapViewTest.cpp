#include "engine/file/PosixMemoryMapView.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "engine/file/FileExceptions.h"
#include "engine/file/PosixMemoryMap.h"
#include "engine/file/PosixSharedFileFactory.h"
#include "engine/file/ViewBufferPool.h"
#include "engine/file/SharedFile.h"
#include "engine/manifest/Crc32.h"
#include "tests/support/TemporaryFolder.h"

namespace tvl {
namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Byte i of the test files, so that any misplaced byte shows.
char Pattern(std::size_t i) {
    return static_cast<char>(i * 7 + i / 251);
}

class PosixMemoryMapViewTest : public ::testing::Test {
  protected:
    // A view of [first, last] that holds at most `window` bytes at once.
    std::shared_ptr<PosixMemoryMapView> Streamed(std::uint64_t first, std::uint64_t last, std::size_t window) {
        if (!map_) {
            descriptor_ = open(Path().c_str(), O_RDWR | O_CLOEXEC);
            map_ = std::make_shared<PosixMemoryMap>(descriptor_, nullptr);
            close(descriptor_);
        }
        return std::make_shared<PosixMemoryMapView>(map_, first, last, window);
    }

    void SetUp() override {
        file_ = factory_.Open(folder_.Path(), "f.bin", OpenMode::CreateNew, true, 0, kSize - 1);
        std::string content(kSize, '\0');
        for (std::size_t i = 0; i < kSize; ++i) {
            content[i] = Pattern(i);
        }
        ASSERT_EQ(file_->Write(content.data(), content.size()), kSize);
    }

    std::string Path() const { return folder_.Join("f.bin"); }

    static constexpr std::size_t kSize = 3 * 65536 + 123;
    test::TemporaryFolder folder_;
    PosixSharedFileFactory factory_;
    std::shared_ptr<SharedFile> file_;
    int descriptor_ = -1;
    std::shared_ptr<PosixMemoryMap> map_;
};

TEST_F(PosixMemoryMapViewTest, UnalignedViewsStartAtTheirFirstByte) {
    for (std::uint64_t first : {std::uint64_t{1}, std::uint64_t{4095}, std::uint64_t{4097},
                                std::uint64_t{65537}, std::uint64_t{kSize - 1}}) {
        auto view = file_->Map(first, kSize - 1);
        EXPECT_EQ(static_cast<char>(view->Data()[0]), Pattern(first)) << first;
        EXPECT_EQ(view->Tell(), first);
        char byte = 0;
        EXPECT_EQ(view->Read(&byte, 1), 1u);
        EXPECT_EQ(byte, Pattern(first)) << first;
    }
}

TEST_F(PosixMemoryMapViewTest, CursorOperationsStayInsideTheView) {
    auto view = file_->Map(100, 109);
    EXPECT_EQ(view->Reserve(0), nullptr);
    EXPECT_EQ(view->Tell(), 100u) << "Reserve(0) does not move";
    EXPECT_THROW(view->Write("0123456789A", 11), FileOutOfBoundsException);
    EXPECT_EQ(view->Tell(), 100u);
    EXPECT_EQ(view->Write("0123456789", 10), 10u) << "the full length fits";
    EXPECT_THROW(view->Write("X", 1), FileOutOfBoundsException);
    EXPECT_THROW(view->Seek(110), FileOutOfBoundsException);
    EXPECT_THROW(view->Seek(99), FileOutOfBoundsException);
    view->Seek(108);
    EXPECT_THROW(view->Reserve(3), FileOutOfBoundsException);
    std::uint8_t* reserved = view->Reserve(2);
    ASSERT_NE(reserved, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(reserved), 2), "89") << "reserved bytes hold the content";
    std::memcpy(reserved, "yz", 2);
    view.reset();
    EXPECT_EQ(ReadAll(Path()).substr(100, 10), "01234567yz");
    EXPECT_EQ(ReadAll(Path())[110], Pattern(110));

    EXPECT_THROW(file_->Map(0, kSize), FileOutOfBoundsException) << "past the file's bounds";
    EXPECT_THROW(file_->Map(10, 9), FileOutOfBoundsException);
}

TEST_F(PosixMemoryMapViewTest, ReadCopiesAtMost4096Bytes) {
    auto view = file_->Map(10, 10 + 9999);
    std::vector<char> buffer(10000);
    EXPECT_EQ(view->Read(buffer.data(), buffer.size()), 4096u);
    EXPECT_EQ(view->Tell(), 10u + 4096);
    EXPECT_EQ(buffer[4095], Pattern(10 + 4095));
    EXPECT_EQ(view->Read(buffer.data(), 0), 0u);
}

TEST_F(PosixMemoryMapViewTest, ChangesReachTheFileWhenTheLastReferenceGoes) {
    auto view = file_->Map(65536, 2 * 65536 - 1);
    const std::string piece(5000, 'Q');
    view->Write(piece.data(), piece.size());
    auto second = view;
    view.reset();
    EXPECT_EQ(ReadAll(Path())[65536], Pattern(65536)) << "still held by the second reference";
    second.reset();
    const std::string after = ReadAll(Path());
    EXPECT_EQ(after.substr(65536, 5000), piece);
    EXPECT_EQ(after[65536 + 5000], Pattern(65536 + 5000)) << "bytes not written keep their content";
    EXPECT_EQ(after[65535], Pattern(65535));
}

TEST_F(PosixMemoryMapViewTest, AWriteThatReachesTheLastByteGoesToTheFileAtOnce) {
    // A chunk body that is complete must be on disk while its view still
    // waits for verification: a process killed in between keeps the download.
    auto view = file_->Map(65536, 2 * 65536 - 1);
    const std::string head(40000, 'a');
    const std::string tail(65536 - 40000, 'b');
    view->Write(head.data(), head.size());
    EXPECT_EQ(ReadAll(Path())[65536], Pattern(65536)) << "a partial body stays in the view";
    view->Write(tail.data(), tail.size());
    const std::string after = ReadAll(Path());
    EXPECT_TRUE(after.compare(65536, 65536, head + tail) == 0) << "written back while the view is alive";
    EXPECT_EQ(after[2 * 65536], Pattern(2 * 65536));
    EXPECT_EQ(after[65535], Pattern(65535));
}

TEST_F(PosixMemoryMapViewTest, AWholeViewWrittenBackIsCheckedFromItsBufferNotReadAgain) {
    // Every downloaded chunk is checked right after its body is written; a
    // second read of it would double the disk traffic of a download. The
    // file changed behind the view's back shows whether Scan read it again.
    auto view = file_->Map(0, 65535);
    const std::string body(65536, 'c');
    view->Write(body.data(), body.size());
    ASSERT_EQ(ReadAll(Path()).compare(0, 65536, body), 0);
    const int other = open(Path().c_str(), O_WRONLY);
    ASSERT_GE(other, 0);
    ASSERT_EQ(pwrite(other, "z", 1, 100), 1);
    close(other);
    std::string seen;
    view->Scan([&](const std::uint8_t* data, std::size_t size) {
        seen.append(reinterpret_cast<const char*>(data), size);
    });
    EXPECT_TRUE(seen == body) << "the check used the bytes the view wrote";
}

TEST_F(PosixMemoryMapViewTest, WritesBeforeLoadingMergeWithTheFilesBytes) {
    auto view = file_->Map(1000, 1999);
    view->Seek(1500);
    view->Write("mid", 3);
    view->Seek(1100);
    view->Write("early", 5);  // not next to the first run: the view loads
    char byte = 0;
    view->Seek(1200);
    view->Read(&byte, 1);
    EXPECT_EQ(byte, Pattern(1200));
    view.reset();
    std::string expected = ReadAll(Path());
    for (std::size_t i = 0; i < kSize; ++i) {
        const bool early = i >= 1100 && i < 1105;
        const bool mid = i >= 1500 && i < 1503;
        const char want = early ? "early"[i - 1100] : mid ? "mid"[i - 1500] : Pattern(i);
        ASSERT_EQ(expected[i], want) << i;
    }
}

TEST_F(PosixMemoryMapViewTest, ChecksumAndScanSeeTheViewAndWriteItBackFirst) {
    auto view = file_->Map(4096, 4096 + 8191);
    std::string data(8192, 'k');
    view->Write(data.data(), data.size());
    EXPECT_EQ(view->Checksum(), Crc32(data.data(), data.size()));
    EXPECT_EQ(ReadAll(Path()).substr(4096, 8192), data) << "written back before the checksum";
    std::vector<std::size_t> pieces;
    view->Scan([&pieces](const std::uint8_t*, std::size_t size) { pieces.push_back(size); });
    EXPECT_EQ(pieces, std::vector<std::size_t>{8192u}) << "a view held whole is one piece";
}

TEST_F(PosixMemoryMapViewTest, MappingPastTheEndOfTheFileIsRefused) {
    auto whole = factory_.Open(folder_.Path(), "f.bin", OpenMode::OpenExisting, false, 0, UINT64_MAX);
    EXPECT_THROW(whole->Map(kSize - 10, kSize), FileInvalidMapException);
    EXPECT_THROW(whole->Map(0, (1ull << 32) + 5), std::bad_alloc) << "longer than 32 bits";
    EXPECT_NO_THROW(whole->Map(kSize - 10, kSize - 1));
}

TEST_F(PosixMemoryMapViewTest, TruncationUnderALiveViewIsAnInvalidMap) {
    auto fetched = file_->Map(65536, 2 * 65536 - 1);
    fetched->Fetch();
    auto unfetched = file_->Map(65536, 2 * 65536 - 1);
    auto written = file_->Map(2 * 65536, 3 * 65536 - 1);
    written->Write("dirty", 5);

    const int descriptor = open(Path().c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(descriptor, 0);
    ASSERT_EQ(ftruncate(descriptor, 1000), 0);
    close(descriptor);

    EXPECT_THROW(fetched->Checksum(), FileInvalidMapException);
    EXPECT_THROW(fetched->Fetch(), FileInvalidMapException);
    char byte = 0;
    EXPECT_THROW(unfetched->Read(&byte, 1), FileInvalidMapException);
    EXPECT_THROW(unfetched->Data(), FileInvalidMapException);
    EXPECT_THROW(written->Checksum(), FileInvalidMapException);
    written.reset();
    EXPECT_EQ(file_->GetSize(), 1000u) << "a dropped view does not make a shortened file long again";
}

TEST_F(PosixMemoryMapViewTest, TwoThreadsWriteDisjointChunksOfOneFile) {
    constexpr std::size_t kChunk = 65536;
    constexpr std::size_t kChunks = 24;
    auto big = factory_.Open(folder_.Path(), "big.bin", OpenMode::CreateNew, true, 0, kChunk * kChunks - 1);
    ASSERT_TRUE(big->Allocate(kChunk * kChunks));
    auto writer = [&big](std::size_t parity) {
        std::vector<char> piece(4096);
        for (std::size_t chunk = parity; chunk < kChunks; chunk += 2) {
            auto view = big->Map(chunk * kChunk, (chunk + 1) * kChunk - 1);
            view->Fetch();
            for (std::size_t offset = 0; offset < kChunk; offset += piece.size()) {
                for (std::size_t i = 0; i < piece.size(); ++i) {
                    piece[i] = Pattern(chunk * kChunk + offset + i);
                }
                view->Write(piece.data(), piece.size());
            }
        }
    };
    std::thread even(writer, 0);
    std::thread odd(writer, 1);
    even.join();
    odd.join();
    big.reset();
    const std::string content = ReadAll(folder_.Join("big.bin"));
    ASSERT_EQ(content.size(), kChunk * kChunks);
    for (std::size_t i = 0; i < content.size(); ++i) {
        ASSERT_EQ(content[i], Pattern(i)) << i;
    }
}

TEST_F(PosixMemoryMapViewTest, ALongViewStreamsThroughItsWindowAndChecksumsABodyAsItArrives) {
    // A chunk of any size must cost a window of memory, not its length.
    constexpr std::uint64_t kFirst = 1000;
    constexpr std::uint64_t kLength = 150000;
    constexpr std::size_t kWindow = 16384;
    std::string body(kLength, '\0');
    for (std::size_t i = 0; i < body.size(); ++i) {
        body[i] = static_cast<char>(i * 13 + 5);
    }
    const std::size_t idleBefore = ViewBufferPool::Instance().IdleBytes();
    std::string expected = body;
    expected[100] = 'z';
    expected.replace(50000, 5, "again");
    {
        auto view = Streamed(kFirst, kFirst + kLength - 1, kWindow);
        ASSERT_TRUE(view->Streamed());
        view->Fetch();
        // Pieces of a size unrelated to the window, as a response body arrives.
        for (std::size_t offset = 0; offset < body.size(); offset += 7000) {
            const std::size_t size = std::min<std::size_t>(7000, body.size() - offset);
            ASSERT_EQ(view->Write(body.data() + offset, size), size);
        }
        EXPECT_TRUE(ReadAll(Path()).compare(kFirst, kLength, body) == 0)
            << "the whole body is on disk once its last byte is written";
        // Changed behind the view's back: a checksum read back would see it.
        const int other = open(Path().c_str(), O_WRONLY);
        ASSERT_GE(other, 0);
        ASSERT_EQ(pwrite(other, "z", 1, kFirst + 100), 1);
        close(other);
        EXPECT_EQ(view->Checksum(), Crc32(body.data(), body.size())) << "checked from the bytes as they came";

        // A body written again from a later position must be read back.
        view->Seek(kFirst + 50000);
        view->Write("again", 5);
        EXPECT_EQ(view->Checksum(), Crc32(expected.data(), expected.size()));
        std::vector<std::size_t> pieces;
        std::string scanned;
        view->Scan([&](const std::uint8_t* data, std::size_t size) {
            pieces.push_back(size);
            scanned.append(reinterpret_cast<const char*>(data), size);
        });
        EXPECT_TRUE(scanned == expected);
        EXPECT_EQ(pieces.size(), (kLength + kWindow - 1) / kWindow);
        for (std::size_t piece : pieces) {
            EXPECT_LE(piece, kWindow);
        }

        // Reads see unwritten changes; Reserve gives a window's worth at most.
        view->Seek(kFirst + 70000);
        view->Write("xy", 2);
        view->Seek(kFirst + 70000);
        char read[3] = {};
        EXPECT_EQ(view->Read(read, 3), 3u);
        EXPECT_EQ(std::string(read, 3), std::string("xy") + expected[70002]);
        EXPECT_THROW(view->Reserve(kWindow + 1), std::bad_alloc);
        EXPECT_THROW(view->Data(), std::bad_alloc);
        std::uint8_t* reserved = view->Reserve(4);
        ASSERT_NE(reserved, nullptr);
        EXPECT_EQ(reserved[0], static_cast<std::uint8_t>(expected[70003]));
        std::memcpy(reserved, "RSRV", 4);
    }
    const std::string after = ReadAll(Path());
    EXPECT_EQ(after.substr(kFirst + 70000, 7), "xy" + expected.substr(70002, 1) + "RSRV");
    EXPECT_EQ(after[kFirst - 1], Pattern(kFirst - 1));
    EXPECT_EQ(after[kFirst + kLength], Pattern(kFirst + kLength));
    EXPECT_LE(ViewBufferPool::Instance().IdleBytes(), idleBefore + 65536) << "one window-sized buffer";
}

TEST_F(PosixMemoryMapViewTest, ViewsOutliveTheirFile) {
    auto view = file_->Map(0, 99);
    file_.reset();
    view->Write("late", 4);
    view.reset();
    EXPECT_EQ(ReadAll(Path()).substr(0, 4), "late");
}

}  // namespace
}  // namespace tvl
