// The assembled engine end to end: packages made by talvane-pack, served by an
// in-process talvane-cdn, fetched through the transfer service and talvane-get.

#include "tools/talvane-get/TalvaneGet.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "engine/service/TransferService.h"
#include "engine/service/TransferSettings.h"
#include "engine/service/TransferState.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/TemporaryFolder.h"
#include "tools/talvane-cdn/CdnServer.h"
#include "tools/talvane-pack/PackageBuilder.h"

namespace tvl {
namespace {

namespace fs = std::filesystem;
using cdn::CdnEndpoint;
using cdn::CdnFault;

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

template <typename Predicate>
bool WaitFor(Predicate predicate, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (predicate()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return predicate();
}

class EngineEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        environment_.Set("TMPDIR", user_.Path());
        environment_.Unset("http_proxy");
        environment_.Unset("HTTP_PROXY");
        environment_.Unset("all_proxy");
        environment_.Unset("ALL_PROXY");
        std::mt19937 random(7);
        const auto write = [&](const std::string& path, std::size_t size) {
            const fs::path file = fs::path(input_.Path()) / path;
            fs::create_directories(file.parent_path());
            std::string bytes(size, '\0');
            for (auto& b : bytes) {
                b = static_cast<char>(random());
            }
            std::ofstream(file, std::ios::binary) << bytes;
        };
        write("run.sh", 3000);
        write("empty.dat", 0);
        write("data/big.bin", 700000);
        for (int i = 0; i < 20; ++i) {
            write("data/small/" + std::to_string(i) + ".bin", 1000 + i * 997);
        }
        cdn::CdnServerOptions options;
        options.contentRoot = root_.Path();
        options.nodeCount = 2;
        options.countryCode = "DE";
        server_ = std::make_unique<cdn::CdnServer>(options);

        pack::PackageOptions pack;
        pack.input = input_.Path();
        pack.output = root_.Path();
        pack.partnerId = "partner";
        pack.packageId = "pkg";
        pack.versionId = "1";
        pack.name = "End To End";
        pack.run = "run.sh";
        pack.chunkSize = 65536;
        pack.current = true;
        pack.nodes = {server_->Authority(CdnEndpoint::Node(0)), server_->Authority(CdnEndpoint::Node(1))};
        pack::BuildPackage(pack);
    }

    TransferSettings Settings() const {
        TransferSettings settings;
        settings.manifestHost = server_->ManifestHost();
        settings.geolocationUrl = server_->GeolocationUrl();
        settings.analyticsEventsUrl = server_->EventsUrl();
        settings.analyticsTransfersUrl = server_->TransfersUrl();
        settings.logLevel = -1;
        settings.manifestRetries = 1;
        return settings;
    }

    void ExpectSameTree(const fs::path& destination) const {
        for (const auto& entry : fs::recursive_directory_iterator(input_.Path())) {
            if (entry.is_regular_file()) {
                const fs::path relative = fs::relative(entry.path(), input_.Path());
                EXPECT_EQ(ReadFile(destination / relative), ReadFile(entry.path())) << relative;
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
    get::GetOptions options = get::ParseGetArguments({"--manifest-host", server_->ManifestHost(), "--partner",
                                                      "partner", "--package", "pkg", "--dest", destination_.Path(),
                                                      "--geolocation-url", server_->GeolocationUrl(), "--events-url",
                                                      server_->EventsUrl(), "--transfers-url",
                                                      server_->TransfersUrl(), "--json", "--quiet"});
    std::ostringstream out, err;
    std::atomic<bool> interrupted{false};
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
    const fs::path logs = fs::path(user_.Path()) / "Brennic Technologies/Talvane Delivery/logs";
    ASSERT_TRUE(fs::is_directory(logs));
    std::string log;
    for (const auto& entry : fs::directory_iterator(logs)) {
        log += ReadFile(entry.path());
    }
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
    const fs::path stored = fs::path(user_.Path()) / "Brennic Technologies/Talvane Delivery/transfers" / (id + ".json");
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
    const fs::path stored = fs::path(user_.Path()) / "Brennic Technologies/Talvane Delivery/transfers" / (id + ".json");
    EXPECT_TRUE(WaitFor([&] { return !fs::exists(stored) && fs::is_empty(destination_.Path()); }))
        << "files and the stored transfer are removed";
}

TEST_F(EngineEndToEnd, UnknownPackageEndsWithAContentErrorAndExitCodeOne) {
    get::GetOptions options = get::ParseGetArguments(
        {"--manifest-host", server_->ManifestHost(), "--partner", "partner", "--package", "missing", "--dest",
         destination_.Path(), "--geolocation-url", server_->GeolocationUrl(), "--events-url", server_->EventsUrl(),
         "--transfers-url", server_->TransfersUrl(), "--quiet", "--retries", "0"});
    std::ostringstream out, err;
    std::atomic<bool> interrupted{false};
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
