// The verification tree through real transfers: files already on disk are
// checked chunk by chunk without any download.

#include <gtest/gtest.h>

#include "engine/workflow/TransferError.h"
#include "tests/engine/workflow/WorkflowTestSupport.h"

namespace tvl::test {
namespace {

constexpr std::uint8_t Error(TransferError error) {
    return static_cast<std::uint8_t>(error);
}

class VerifyWorkflowTest : public ::testing::Test {
  protected:
    VerifyWorkflowTest() : source_(Delivery::StandardSource()), destination_(delivery_.Destination()) {
        delivery_.Publish(source_);
        for (const auto& [path, bytes] : source_.files) {
            WriteBytes(destination_ / path, bytes);
        }
    }

    TransferStatus Verify() {
        auto transfer = delivery_.NewVerification();
        return delivery_.Run(*transfer, destination_.string());
    }

    Delivery delivery_;
    const Delivery::Source source_;
    const fs::path destination_;
};

TEST_F(VerifyWorkflowTest, CompletePackageVerifiesWithoutDownloading) {
    const TransferStatus status = Verify();

    ASSERT_EQ(StateOf(status), TransferState::Completed) << "error " << unsigned(status.error);
    EXPECT_EQ(status.bytesVerified, delivery_.PublishedBytes());
    EXPECT_EQ(status.bytesDone, status.bytesTotal);
    EXPECT_EQ(status.bytesDownloaded, 0u);
    EXPECT_EQ(delivery_.NodeRequests(), 0u);
    EXPECT_EQ(delivery_.FirstDifference(destination_.string()), "");
    // Verification changes no file's mode.
    EXPECT_FALSE(AnyExecuteBit(destination_ / "bin/launcher"));
}

TEST_F(VerifyWorkflowTest, MissingFileFailsVerification) {
    fs::remove(destination_ / "data/small/f3.txt");

    const TransferStatus status = Verify();

    EXPECT_EQ(status.error, Error(TransferError::VerificationError));
    EXPECT_FALSE(fs::exists(destination_ / "data/small/f3.txt"));
    EXPECT_EQ(delivery_.NodeRequests(), 0u);
}

TEST_F(VerifyWorkflowTest, MissingEmptyFileFailsVerification) {
    fs::remove(destination_ / "data/empty.dat");

    EXPECT_EQ(Verify().error, Error(TransferError::VerificationError));
}

TEST_F(VerifyWorkflowTest, FileOfWrongSizeFailsVerification) {
    WriteBytes(destination_ / "data/big.bin", source_.files[2].second + "x");

    const TransferStatus status = Verify();

    EXPECT_EQ(status.error, Error(TransferError::VerificationError));
    // The file is left as it was.
    EXPECT_EQ(fs::file_size(destination_ / "data/big.bin"), source_.files[2].second.size() + 1);
}

TEST_F(VerifyWorkflowTest, ChangedByteFailsVerification) {
    std::string big = source_.files[2].second;
    big[17 * kChunkSize] ^= 0x01;
    WriteBytes(destination_ / "data/big.bin", big);

    const TransferStatus status = Verify();

    EXPECT_EQ(status.error, Error(TransferError::VerificationError));
    EXPECT_LT(status.bytesVerified, status.bytesTotal);
    EXPECT_EQ(ReadBytes(destination_ / "data/big.bin"), big);
    EXPECT_EQ(delivery_.NodeRequests(), 0u);
}

}  // namespace
}  // namespace tvl::test
