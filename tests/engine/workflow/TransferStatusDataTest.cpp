#include "engine/workflow/TransferStatusData.h"

#include <gtest/gtest.h>

#include <boost/property_tree/ptree.hpp>
#include <fstream>

#include "engine/file/FileExceptions.h"
#include "engine/file/MemoryMappedFileData.h"
#include "engine/file/PosixSharedFileFactory.h"
#include "engine/file/SharedFile.h"
#include "engine/http/TransferHttpWriter.h"
#include "engine/service/TransferProgressUpdater.h"
#include "engine/workflow/TransferSharedFileData.h"
#include "engine/workflow/TransferSharedMapData.h"
#include "tests/support/TemporaryFolder.h"

namespace tvl {
namespace {

using boost::property_tree::ptree;

std::vector<std::string> Keys(const ptree& tree) {
    std::vector<std::string> keys;
    for (const auto& child : tree) {
        keys.push_back(child.first);
    }
    return keys;
}

template <typename E>
std::shared_ptr<TransferFileExceptionData> Classified(E exception) {
    try {
        throw exception;
    } catch (...) {
        return CreateTransferFileExceptionData(std::current_exception());
    }
}

TEST(TransferFileExceptionData, ClassifiesFileExceptionsInOrder) {
    struct Case {
        std::shared_ptr<TransferFileExceptionData> data;
        TransferError error;
        bool retryable;
    };
    const Case cases[] = {
        {Classified(FileBadPathException()), TransferError::FileAccessError, false},
        {Classified(FileInUseException()), TransferError::FileAccessError, true},
        {Classified(FileInaccessibleException()), TransferError::FileAccessError, true},
        {Classified(FileInsufficientSpaceException()), TransferError::DiskFull, true},
        {Classified(FileOutOfBoundsException()), TransferError::InternalError, false},
        {Classified(FileInvalidMapException()), TransferError::FileWriteError, false},
        {Classified(FileUnknownException()), TransferError::FileWriteError, false},
        {Classified(std::bad_alloc()), TransferError::OutOfMemory, false},
        {Classified(std::runtime_error("x")), TransferError::InternalError, false},
        {Classified(42), TransferError::InternalError, false},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(cases[i].data->ToTransferError(), cases[i].error) << "case " << i;
        EXPECT_EQ(cases[i].data->IsRetryable(), cases[i].retryable) << "case " << i;
    }
}

TEST(TransferExceptionData, DescribesForeignExceptionsAsUnknown) {
    const auto data = Classified(42);
    ptree tree;
    data->Describe(tree);
    EXPECT_EQ(tree.get<std::string>("transferError"), "9");
    EXPECT_EQ(tree.get<std::string>("exception"), "Unknown exception type");
    EXPECT_EQ(tree.count("what"), 0u);
    EXPECT_EQ(data->GetSummary(), "error|9|Unknown exception type");

    ptree standard;
    Classified(std::runtime_error("disk gone"))->Describe(standard);
    EXPECT_EQ(standard.get<std::string>("what"), "disk gone");
}

TEST(TransferErrorData, DescribesErrorBeforeMessage) {
    const auto data = CreateTransferErrorData(TransferError::Geofenced, "Geofence|DE");
    ptree tree;
    data->Describe(tree);
    EXPECT_EQ(Keys(tree), (std::vector<std::string>{"transferError", "errorMessage"}));
    EXPECT_EQ(tree.get<std::string>("transferError"), "10");
    EXPECT_EQ(data->GetSummary(), "error|10|Geofence|DE");
}

TEST(TransferErrorFromHttpResult, Table) {
    const TransferError expected[] = {
        TransferError::InternalError,    // NotStarted
        TransferError::InternalError,    // InProgress
        TransferError::None,             // Success
        TransferError::None,             // Aborted
        TransferError::RequestError,     // InvalidRequest
        TransferError::ConnectionError,  // ResolveFailure
        TransferError::ConnectionError,  // ConnectFailure
        TransferError::ContentError,     // HttpClientError
        TransferError::ConnectionError,  // HttpServerError
        TransferError::ConnectionError,  // ConnectionReset
        TransferError::FileWriteError,   // WriteError
        TransferError::ContentError,     // DataMismatch
        TransferError::ConnectionError,  // RequestTimeout
        TransferError::OutOfMemory,      // OutOfMemory
        TransferError::RequestError,     // OtherError
        TransferError::InternalError,    // 15
    };
    for (std::size_t r = 0; r < std::size(expected); ++r) {
        EXPECT_EQ(TransferErrorFromHttpResult(static_cast<HttpRequestResult>(r)), expected[r])
            << "result " << r;
    }
    EXPECT_EQ(TransferErrorFromHttpResult(static_cast<HttpRequestResult>(255)), TransferError::InternalError);
}

TEST(HttpTransferStatusData, SummaryAndDescription) {
    HttpRequestStatus ok;
    ok.result = HttpRequestResult::Success;
    const HttpTransferStatusData success("node1", ok);
    EXPECT_EQ(success.ToTransferError(), TransferError::None);
    EXPECT_EQ(success.GetSummary(), "");

    HttpRequestStatus notFound;
    notFound.result = HttpRequestResult::HttpClientError;
    notFound.responseCode = 404;
    notFound.errorDetails = "HTTP 404";
    notFound.ip = "127.0.0.1";
    const HttpTransferStatusData failure("node1", notFound);
    EXPECT_EQ(failure.ToTransferError(), TransferError::ContentError);
    EXPECT_EQ(failure.GetSummary(), "error|1|7|HTTP 404");
    ptree tree;
    failure.Describe(tree);
    EXPECT_EQ(Keys(tree), (std::vector<std::string>{"hostname", "ip", "httpResult", "httpResponseCode",
                                                    "bytesWritten", "errorDetails", "requestTimeMs"}));
    EXPECT_EQ(tree.get<std::string>("httpResult"), "7");
}

class CountingProgress : public TransferProgressUpdater {
  public:
    void AddDone(std::uint64_t b) override { done += b; }
    void SubtractDone(std::uint64_t b) override { done -= b; }
    void AddVerified(std::uint64_t b) override { verified += b; }
    void AddDownloaded(std::uint64_t b) override { downloaded += b; }
    std::uint64_t done = 0, verified = 0, downloaded = 0;
};

class ChunkWriterTest : public ::testing::Test {
  protected:
    // A 30-byte file whose chunk 1 spans bytes 10 to 19.
    void SetUp() override {
        file_ = factory_.Open(folder_.Path(), "f.bin", OpenMode::OpenOrCreate, false, 0, 29);
        ASSERT_TRUE(file_->Allocate(30));
        fileData_ = std::make_shared<TransferSharedFileData>("f.bin", 30);
        fileData_->file = file_;
        chunk_ = std::make_shared<TransferSharedMapData>(fileData_, 10, 19, 0xabc, progress_);
        chunk_->map = file_->Map(10, 19);
    }

    test::TemporaryFolder folder_;
    PosixSharedFileFactory factory_;
    std::shared_ptr<SharedFile> file_;
    std::shared_ptr<TransferSharedFileData> fileData_;
    std::shared_ptr<CountingProgress> progress_ = std::make_shared<CountingProgress>();
    std::shared_ptr<TransferSharedMapData> chunk_;
};

TEST_F(ChunkWriterTest, OverlongPieceWritesNothing) {
    TransferHttpWriter writer(chunk_);
    const HttpRequestStatus status = writer.Write("0123456789AB", 12);
    EXPECT_EQ(status.result, HttpRequestResult::DataMismatch);
    EXPECT_EQ(status.bytesWritten, 0u);
    EXPECT_EQ(chunk_->fileProgressBytes, 0u);
    EXPECT_EQ(progress_->done, 0u);
}

TEST_F(ChunkWriterTest, SecondPieceCrossingTheBoundStops) {
    TransferHttpWriter writer(chunk_);
    EXPECT_EQ(writer.Write("abcdef", 6).result, HttpRequestResult::Success);
    const HttpRequestStatus second = writer.Write("ghijkl", 6);
    EXPECT_EQ(second.result, HttpRequestResult::DataMismatch);
    EXPECT_EQ(chunk_->fileProgressBytes, 6u);
    EXPECT_EQ(progress_->done, 6u);
    EXPECT_EQ(progress_->downloaded, 6u);
    EXPECT_EQ(writer.Write("", 0).result, HttpRequestResult::Success);

    chunk_->ResetProgress();
    EXPECT_EQ(chunk_->fileProgressBytes, 0u);
    EXPECT_EQ(progress_->done, 0u);
    EXPECT_EQ(progress_->downloaded, 6u) << "downloaded bytes stay counted";
    EXPECT_EQ(chunk_->map->Tell(), 10u);
}

TEST_F(ChunkWriterTest, BytesLandInTheChunkRange) {
    {
        TransferHttpWriter writer(chunk_);
        EXPECT_EQ(writer.Write("0123456789", 10).result, HttpRequestResult::Success);
    }
    chunk_->map.reset();  // written back when the last holder of the view lets go
    file_.reset();
    fileData_->file.reset();
    std::ifstream in(folder_.Join("f.bin"), std::ios::binary);
    const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(content.size(), 30u);
    EXPECT_EQ(content.substr(10, 10), "0123456789");
    EXPECT_EQ(content.substr(0, 10), std::string(10, '\0'));
}

TEST_F(ChunkWriterTest, MapDataDescriptionAndChecksumSummary) {
    // A chunk judged before any request (a verification) received nothing.
    EXPECT_EQ(ChecksumStatusData(chunk_, 0x1f).GetSummary(), "error|6|30|10|0|0|0|0||abc|1f");

    chunk_->lastRequestStatus.bytesWritten = 10;
    chunk_->lastRequestStatus.responseCode = 206;
    chunk_->lastRequestStatus.ip = "127.0.0.1";
    chunk_->lastPosition = 20;
    chunk_->failedNodeCount = 1;
    ptree tree;
    chunk_->Describe(tree);
    EXPECT_EQ(Keys(tree), (std::vector<std::string>{"filePath", "fileSize", "lowerBound", "upperBound",
                                                    "expectedChecksum", "fileProgressBytes"}));
    EXPECT_EQ(tree.get<std::string>("expectedChecksum"), "abc");
    const ChecksumStatusData mismatch(chunk_, 0x1f);
    EXPECT_EQ(mismatch.ToTransferError(), TransferError::VerificationError);
    EXPECT_EQ(mismatch.GetSummary(), "error|6|30|10|10|10|206|1|127.0.0.1|abc|1f");
}

}  // namespace
}  // namespace tvl
