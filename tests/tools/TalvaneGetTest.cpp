// The assembled engine end to end: packages made by talvane-pack, served by an
// in-process talvane-cdn, fetched through the transfer service and talvane-get.

#include "tools/talvane-get/TalvaneGet.h"

#include <gtest/gtest.h>

#include <algorithm>
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
#include "tests/tools/TypedJson.h"
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

    std::uint64_t InputBytes() const {
        std::uint64_t total = 0;
        for (const auto& entry : fs::recursive_directory_iterator(input_.Path())) {
            total += entry.is_regular_file() ? entry.file_size() : 0;
        }
        return total;
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

TEST_F(EngineEndToEnd, TalvaneGetDownloadsAPackageByteForByteAndReportsItAsTypedJson) {
    // A quote, a backslash and a non-ASCII letter in the path: the JSON must
    // give the path back as it is.
    const fs::path destination = fs::path(destination_.Path()) / "d\u00e9 \"x\\y\"";
    get::GetOptions options = get::ParseGetArguments(test::CdnGetArguments(
        *server_, {"--partner", "partner", "--package", "pkg", "--dest", destination.string(), "--json"}));
    std::ostringstream out, err;
    std::atomic<int> interrupted{0};
    ASSERT_EQ(get::RunGet(options, out, err, interrupted), 0) << err.str();
    ExpectSameTree(destination);
    const std::string total = std::to_string(InputBytes());

    ASSERT_EQ(out.str().find('\n'), out.str().size() - 1) << "one line: " << out.str();
    const auto json = test::ReadTypedJson(out.str());
    EXPECT_EQ(json.get<std::string>("transferId").size(), std::string("string:").size() + 32);
    EXPECT_EQ(json.get<std::string>("partnerId"), "string:partner");
    EXPECT_EQ(json.get<std::string>("packageId"), "string:pkg");
    EXPECT_EQ(json.get<std::string>("versionId"), "string:1");
    EXPECT_EQ(json.get<std::string>("destination"), "string:" + destination.string());
    EXPECT_EQ(json.get<std::string>("state"), "string:Completed");
    EXPECT_EQ(json.get<std::string>("stateCode"), "number:7");
    EXPECT_EQ(json.get<std::string>("error"), "string:None");
    EXPECT_EQ(json.get<std::string>("errorCode"), "number:0");
    EXPECT_EQ(json.get<std::string>("retryable"), "boolean:false");
    EXPECT_EQ(json.get<std::string>("bytesTotal"), "number:" + total);
    EXPECT_EQ(json.get<std::string>("bytesVerified"), "number:" + total);
    const std::string downloaded = json.get<std::string>("bytesDownloaded");
    ASSERT_EQ(downloaded.rfind("number:", 0), 0u) << downloaded;
    EXPECT_GE(std::stoull(downloaded.substr(7)), InputBytes()) << "nothing was on disk before";
    EXPECT_EQ(json.get<std::string>("runPath"), "string:run.sh");
    EXPECT_EQ(json.get<std::string>("nodesListed"), "number:2");
    const std::string used = json.get<std::string>("nodesUsed");
    EXPECT_TRUE(used == "number:1" || used == "number:2") << used;
    const std::string elapsed = json.get<std::string>("elapsed");
    ASSERT_EQ(elapsed.rfind("number:", 0), 0u) << elapsed;
    EXPECT_GT(std::stod(elapsed.substr(7)), 0.0);
    EXPECT_EQ(json.size(), 17u) << "every key of the documented format, no other";

    // The summary for people: the last line on stderr.
    const std::string printed = err.str();
    const std::string last = printed.substr(printed.rfind('\n', printed.size() - 2) + 1);
    EXPECT_EQ(last.rfind("talvane-get: completed ", 0), 0u) << printed;
    EXPECT_NE(last.find("(" + total + " bytes, " + downloaded.substr(7) + " downloaded) in "), std::string::npos)
        << last;
    EXPECT_NE(last.find("/s, from " + used.substr(7) + " of 2 nodes; run file run.sh"), std::string::npos) << last;
    EXPECT_TRUE((fs::status(destination / "run.sh").permissions() & fs::perms::owner_exec) != fs::perms::none)
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
    EXPECT_NE(err.str().find("transfer ended in state Initializing with error 1: "), std::string::npos) << err.str();
}

// A transfer stored by an earlier run, as a later talvane-get finds it.
TEST_F(EngineEndToEnd, ListShowsAStoredTransferAndCancelEndsItWithItsFiles) {
    server_->SetFault(CdnEndpoint::Node(0), CdnFault::SlowBody(4096, std::chrono::milliseconds(20)));
    server_->SetFault(CdnEndpoint::Node(1), CdnFault::SlowBody(4096, std::chrono::milliseconds(20)));
    std::string id;
    {
        TransferService service(Settings());
        id = service.CreateTransfer("partner", "pkg").transferId;
        ASSERT_TRUE(WaitFor([&] {
            return service.GetTransferStatus(id).state == static_cast<std::uint8_t>(TransferState::Initialized);
        }));
        service.StartTransfer(id, destination_.Path());
        ASSERT_TRUE(WaitFor([&] { return service.GetTransferStatus(id).bytesDone > 100000; }));
    }
    server_->ClearFaults();
    const auto run = [&](const std::vector<std::string>& arguments, std::string* out, std::string* err) {
        std::ostringstream outText, errText;
        std::atomic<int> interrupted{0};
        const int status =
            get::RunGet(get::ParseGetArguments(test::CdnGetArguments(*server_, arguments)), outText, errText, interrupted);
        *out = outText.str();
        *err = errText.str();
        return status;
    };
    std::string out, err;

    ASSERT_EQ(run({"--list", "--json"}, &out, &err), 0) << err;
    ASSERT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << "one object a line: " << out;
    const auto listed = test::ReadTypedJson(out);
    EXPECT_EQ(listed.get<std::string>("transferId"), "string:" + id);
    EXPECT_EQ(listed.get<std::string>("partnerId"), "string:partner");
    EXPECT_EQ(listed.get<std::string>("packageId"), "string:pkg");
    EXPECT_EQ(listed.get<std::string>("versionId"), "string:1") << "the version the transfer resolved";
    EXPECT_EQ(listed.get<std::string>("state"), "string:Suspended");
    EXPECT_EQ(listed.get<std::string>("stateCode"), "number:6");
    EXPECT_EQ(listed.get<std::string>("errorCode"), "number:0");
    EXPECT_EQ(listed.get<std::string>("bytesDone"), "null:") << "not known before the transfer is restored";
    EXPECT_EQ(listed.get<std::string>("bytesTotal"), "null:");
    EXPECT_EQ(listed.get<std::string>("destination"), "string:" + destination_.Path());

    ASSERT_EQ(run({"--list"}, &out, &err), 0) << err;
    const std::string row = out.substr(out.find('\n') + 1);
    EXPECT_EQ(row.rfind(id + "  Suspended ", 0), 0u) << out;
    EXPECT_NE(row.find("partner/pkg 1  " + destination_.Path() + "\n"), std::string::npos) << out;

    EXPECT_EQ(run({"--cancel", "0123456789abcdef0123456789abcdef"}, &out, &err), 1);
    EXPECT_NE(err.find("no such transfer"), std::string::npos) << err;

    ASSERT_FALSE(fs::is_empty(destination_.Path()));
    ASSERT_EQ(run({"--cancel", id, "--delete-files"}, &out, &err), 0) << err;
    EXPECT_NE(err.find("canceled " + id + ", files deleted"), std::string::npos) << err;
    const fs::path stored = fs::path(test::StoredTransfersFolder(user_.Path())) / (id + ".json");
    EXPECT_FALSE(fs::exists(stored)) << "a canceled transfer is not stored any more";
    std::vector<std::string> left;
    for (const auto& entry : fs::recursive_directory_iterator(destination_.Path())) {
        if (entry.is_regular_file()) {
            left.push_back(entry.path().string());
        }
    }
    EXPECT_TRUE(left.empty()) << left.size() << " files left, the first " << left.front();

    ASSERT_EQ(run({"--list", "--json"}, &out, &err), 0) << err;
    EXPECT_EQ(out, "");
}

TEST(TalvaneGetArguments, BothValueFormsAndUsageErrors) {
    const get::GetOptions options = get::ParseGetArguments(
        {"--partner=p", "--package", "k", "--package-version=1.0", "--dest=d", "--retries=7", "--log-level", "-1",
         "--node-choice=gambling", "--json"});
    EXPECT_EQ(options.partnerId, "p");
    EXPECT_EQ(options.packageId, "k");
    EXPECT_EQ(options.versionId, "1.0");
    EXPECT_EQ(options.destination, "d");
    EXPECT_EQ(options.retries, 7u);
    EXPECT_EQ(options.logLevel, -1) << "a negative number is a value, not an option";
    EXPECT_EQ(options.nodeChoice, "gambling");
    EXPECT_TRUE(options.json);
    EXPECT_FALSE(options.quiet);

    using cli::UsageError;
    EXPECT_THROW(get::ParseGetArguments({"--partner", "p"}), UsageError);
    EXPECT_THROW(get::ParseGetArguments({"--partner", "p", "--package", "k"}), UsageError) << "no --dest";
    EXPECT_THROW(get::ParseGetArguments({"--work-threads", "0"}), UsageError);
    EXPECT_THROW(get::ParseGetArguments({"--retries", "x"}), UsageError);
    EXPECT_THROW(get::ParseGetArguments({"--retries=1001"}), UsageError);
    EXPECT_THROW(get::ParseGetArguments({"--what"}), UsageError);
    EXPECT_THROW(get::ParseGetArguments({"--partner", "p", "--package", "k", "--dest", "d", "--version", "1"}),
                 UsageError)
        << "--version takes no value: the package version is --package-version";
    EXPECT_THROW(get::ParseGetArguments({"--partner", "p", "--partner", "q", "--package", "k", "--dest", "d"}),
                 UsageError);
    // Ids that could leave their folder on the servers are refused before any request.
    for (const char* id : {"..", "a/b", "%2e%2e", ".", "a\\b"}) {
        const std::string bad = std::string("=") + id;
        EXPECT_THROW(get::ParseGetArguments({"--partner" + bad, "--package=k", "--dest=d"}), UsageError) << id;
        EXPECT_THROW(get::ParseGetArguments({"--partner=p", "--package" + bad, "--dest=d"}), UsageError) << id;
        EXPECT_THROW(get::ParseGetArguments({"--partner=p", "--package=k", "--package-version" + bad, "--dest=d"}),
                     UsageError)
            << id;
    }
    EXPECT_THROW(get::ParseGetArguments({"--list", "--cancel", "0123456789abcdef0123456789abcdef"}), UsageError);
    EXPECT_THROW(get::ParseGetArguments({"--list", "--delete-files"}), UsageError);
    EXPECT_THROW(get::ParseGetArguments({"--cancel="}), UsageError);
    const get::GetOptions restore = get::ParseGetArguments({"--restore", "0123456789abcdef0123456789abcdef"});
    EXPECT_EQ(restore.restoreId, "0123456789abcdef0123456789abcdef");
    const get::GetOptions cancel =
        get::ParseGetArguments({"--cancel", "0123456789abcdef0123456789abcdef", "--delete-files"});
    EXPECT_EQ(cancel.cancelId, "0123456789abcdef0123456789abcdef");
    EXPECT_TRUE(cancel.deleteFiles);
    EXPECT_TRUE(get::ParseGetArguments({"--list"}).list);
}

}  // namespace
}  // namespace tvl
