// The assembled engine end to end: packages made by talvane-pack, served by an
// in-process talvane-cdn, fetched through the transfer service and talvane-get.

#include "tools/talvane-get/TalvaneGet.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <sstream>

#include "engine/service/TransferService.h"
#include "engine/service/TransferSettings.h"
#include "engine/service/TransferState.h"
#include "tests/support/EngineEnvironment.h"
#include "tests/support/FileBytes.h"
#include "tests/support/RandomFiles.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/TestCdn.h"
#include "tests/support/WaitFor.h"
#include "tools/talvane-cdn/CdnServer.h"
#include "tools/talvane-pack/PackageBuilder.h"

namespace tvl {
namespace {

namespace fs = std::filesystem;
using cdn::CdnEndpoint;
using cdn::CdnFault;
using test::ReadWholeFile;
using test::WaitFor;

class EngineEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        test::IsolateEngineEnvironment(environment_, user_.Path());
        test::RandomFiles input(input_.Path(), 7);
        input.Write("run.sh", 3000);
        input.Write("empty.dat", 0);
        input.Write("data/big.bin", 700000);
        for (int i = 0; i < 20; ++i) {
            input.Write("data/small/" + std::to_string(i) + ".bin", 1000 + i * 997);
        }
        cdn::CdnServerOptions options;
        options.contentRoot = root_.Path();
        options.nodeCount = 2;
        options.countryCode = "DE";
        server_ = std::make_unique<cdn::CdnServer>(options);

        pack::PackageOptions pack = test::CurrentPackageOptions(input_.Path(), root_.Path(), "1");
        pack.name = "End To End";
        pack.run = "run.sh";
        pack.nodes = test::CdnNodeAuthorities(*server_);
        pack::BuildPackage(pack);
    }

    TransferSettings Settings() const {
        TransferSettings settings = test::CdnTransferSettings(*server_);
        settings.manifestRetries = 1;
        return settings;
    }

    void ExpectSameTree(const fs::path& destination) const {
        for (const auto& entry : fs::recursive_directory_iterator(input_.Path())) {
            if (entry.is_regular_file()) {
                const fs::path relative = fs::relative(entry.path(), input_.Path());
                EXPECT_EQ(ReadWholeFile(destination / relative), ReadWholeFile(entry.path())) << relative;
            }
        }
    }

    test::ScopedEnvironment environment_;
    test::TemporaryFolder user_;
    test::TemporaryFolder input_;
    test::TemporaryFolder root_;
    test::TemporaryFolder destination_;
    std::unique_ptr<cdn::CdnServer> server_;
};

TEST_F(EngineEndToEnd, TalvaneGetDownloadsAPackageByteForByte) {
    get::GetOptions options = get::ParseGetArguments(test::CdnGetArguments(
        *server_, {"--partner", "partner", "--package", "pkg", "--dest", destination_.Path(), "--json", "--quiet"}));
    std::ostringstream out, err;
    std::atomic<int> interrupted{0};
    ASSERT_EQ(get::RunGet(options, out, err, interrupted), 0) << err.str();
    ExpectSameTree(destination_.Path());
    EXPECT_NE(out.str().find("\"state\":\"7\""), std::string::npos) << out.str();
    EXPECT_NE(out.str().find("run.sh"), std::string::npos) << out.str();
    EXPECT_TRUE((fs::status(fs::path(destination_.Path()) / "run.sh").permissions() & fs::perms::owner_exec) !=
                fs::perms::none)
        << "the run file is executable once the package is complete";

    // Analytics: the start and the completion reached both endpoints.
    ASSERT_TRUE(WaitFor([&] { return server_->Posts(CdnEndpoint::Transfers()).size() >= 2; }));
    bool sawCompleteArray = false;
    ASSERT_TRUE(WaitFor([&] {
        for (const auto& post : server_->Posts(CdnEndpoint::Events())) {
            if (post.body.find("numCompletes") != std::string::npos && post.body.front() == '[' &&
                post.body.find("\"cdn\"") != std::string::npos) {
                sawCompleteArray = true;
            }
        }
        return sawCompleteArray;
    }));
    for (const auto& post : server_->Posts(CdnEndpoint::Events())) {
        EXPECT_EQ(post.contentType.rfind("application/json", 0), 0u) << post.contentType;
    }

    // The work log: one timestamped JSON object per line, with the transfer's events.
    ASSERT_TRUE(fs::is_directory(test::WorkLogsFolder(user_.Path())));
    const std::string log = test::ReadWorkLogs(user_.Path());
    EXPECT_NE(log.find("{\"event\":\"Initialize\",\"params\":{\"transferId\":"), std::string::npos);
    EXPECT_NE(log.find("{\"event\":\"Complete\""), std::string::npos);
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        ASSERT_GE(line.size(), 23u);
        EXPECT_EQ(line[0], '[');
        EXPECT_EQ(line.substr(20, 3), "] {") << line;
    }
}

TEST_F(EngineEndToEnd, DestroyingTheServiceSuspendsAndANewServiceRestoresByIdDownloadingOnlyWhatIsMissing) {
    server_->SetFault(CdnEndpoint::Node(0), CdnFault::SlowBody(4096, std::chrono::milliseconds(20)));
    server_->SetFault(CdnEndpoint::Node(1), CdnFault::SlowBody(4096, std::chrono::milliseconds(20)));
    std::string id;
    {
        TransferService service(Settings());
        id = service.CreateTransfer("partner", "pkg").transferId;
        ASSERT_EQ(id.size(), 32u);
        ASSERT_TRUE(WaitFor([&] {
            return service.GetTransferStatus(id).state == static_cast<std::uint8_t>(TransferState::Initialized);
        }));
        service.StartTransfer(id, destination_.Path());
        ASSERT_TRUE(WaitFor([&] { return service.GetTransferStatus(id).bytesDone > 100000; }));
    }
    const fs::path stored = fs::path(test::StoredTransfersFolder(user_.Path())) / (id + ".json");
    ASSERT_TRUE(fs::exists(stored));
    server_->ClearFaults();
    std::size_t requestsBefore = server_->Requests(CdnEndpoint::Node(0)).size() +
                                 server_->Requests(CdnEndpoint::Node(1)).size();

    TransferService service(Settings());
    EXPECT_EQ(service.GetTransferStatus(id).state, static_cast<std::uint8_t>(TransferState::Suspended));
    service.RestoreTransfer(id);
    ASSERT_TRUE(WaitFor([&] {
        const TransferStatus status = service.GetTransferStatus(id);
        if (status.state == static_cast<std::uint8_t>(TransferState::Initialized)) {
            service.StartTransfer(id);
        }
        return status.state == static_cast<std::uint8_t>(TransferState::Completed) || status.IsFinal();
    }));
    const TransferStatus done = service.GetTransferStatus(id);
    ASSERT_EQ(done.state, static_cast<std::uint8_t>(TransferState::Completed)) << int(done.error);
    ExpectSameTree(destination_.Path());
    const std::size_t requestsAfter = server_->Requests(CdnEndpoint::Node(0)).size() +
                                      server_->Requests(CdnEndpoint::Node(1)).size();
    const std::size_t totalChunks = 11 + 1 + 20;  // big.bin 700000/65536, run.sh, the small files
    EXPECT_LT(requestsAfter - requestsBefore, totalChunks) << "chunks already on disk are not fetched again";
}

TEST_F(EngineEndToEnd, CancelWithDeletionRemovesTheFilesAndTheStoredTransfer) {
    server_->SetFault(CdnEndpoint::Node(0), CdnFault::SlowBody(4096, std::chrono::milliseconds(20)));
    server_->SetFault(CdnEndpoint::Node(1), CdnFault::SlowBody(4096, std::chrono::milliseconds(20)));
    TransferService service(Settings());
    const std::string id = service.CreateTransfer("partner", "pkg").transferId;
    ASSERT_TRUE(WaitFor([&] {
        return service.GetTransferStatus(id).state == static_cast<std::uint8_t>(TransferState::Initialized);
    }));
    service.StartTransfer(id, destination_.Path());
    ASSERT_TRUE(WaitFor([&] { return service.GetTransferStatus(id).bytesDone > 10000; }));
    const TransferStatus canceled = service.CancelTransfer(id, true);
    EXPECT_EQ(canceled.state, static_cast<std::uint8_t>(TransferState::Canceled));
    const fs::path stored = fs::path(test::StoredTransfersFolder(user_.Path())) / (id + ".json");
    EXPECT_TRUE(WaitFor([&] { return !fs::exists(stored) && fs::is_empty(destination_.Path()); }))
        << "files and the stored transfer are removed";
}

TEST_F(EngineEndToEnd, UnknownPackageEndsWithAContentErrorAndExitCodeOne) {
    get::GetOptions options = get::ParseGetArguments(test::CdnGetArguments(
        *server_, {"--partner", "partner", "--package", "missing", "--dest", destination_.Path(), "--quiet",
                   "--retries", "0"}));
    std::ostringstream out, err;
    std::atomic<int> interrupted{0};
    EXPECT_EQ(get::RunGet(options, out, err, interrupted), 1);
    EXPECT_NE(err.str().find("error 1"), std::string::npos) << err.str();
}

TEST(TalvaneGetArguments, UsageErrors) {
    EXPECT_THROW(get::ParseGetArguments({"--partner", "p"}), get::UsageError);
    EXPECT_THROW(get::ParseGetArguments({"--partner", "p", "--package", "k"}), get::UsageError) << "no --dest";
    EXPECT_THROW(get::ParseGetArguments({"--work-threads", "0"}), get::UsageError);
    EXPECT_THROW(get::ParseGetArguments({"--retries", "x"}), get::UsageError);
    EXPECT_THROW(get::ParseGetArguments({"--what"}), get::UsageError);
    const get::GetOptions restore = get::ParseGetArguments({"--restore", "0123456789abcdef0123456789abcdef"});
    EXPECT_EQ(restore.restoreId, "0123456789abcdef0123456789abcdef");
}

}  // namespace
}  // namespace tvl
