// The collector end to end on loopback with SQLite: what it answers 2xx is in
// the database by the time the answer arrives, what it refuses changes
// nothing, and everything the engine itself posts during a transfer is taken.

#include "tools/talvane-analytics/CollectorServer.h"

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <atomic>
#include <future>
#include <filesystem>
#include <sstream>
#include <thread>

#include "engine/service/TransferService.h"
#include "engine/service/TransferState.h"
#include "tests/support/EngineEnvironment.h"
#include "tests/support/RandomFiles.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/TestCdn.h"
#include "tests/support/WaitFor.h"
#include "tests/tools/analytics/CollectorClient.h"
#include "tools/talvane-analytics/AnalyticsDocument.h"
#include "tools/talvane-analytics/AnalyticsStore.h"
#include "tools/talvane-analytics/CollectorCommandLine.h"
#include "tools/talvane-analytics/GroupCommitter.h"
#include "tools/talvane-cdn/CdnServer.h"
#include "tools/talvane-pack/PackageBuilder.h"

namespace tvl::analytics {
namespace {

using test::SqliteNumber;

const std::string kEvents =
    R"([{"pid":"acme","pkgid":"tool","vid":"1.0.0","metrics":{"numCompletes":"1"},"dimensions":{}},)"
    R"({"pid":"acme","pkgid":"tool","vid":"1.0.0","metrics":{"bytes":"1451452","successBytes":"1451452","firstByteTime":"0.004","requestTime":"0.005","successTime":"0.005","numRequests":"4","numErrors":"0","numConnectFailures":"0","numHttpServerErrors":"0","numConnectionsReset":"0","numDataMismatches":"0","numRequestTimeouts":"0"},"dimensions":{"cdn":"127.0.0.1:37425"}},)"
    R"({"pid":"acme","pkgid":"tool","vid":"1.0.0","metrics":{"bytes":"99","successBytes":"0","firstByteTime":"0","requestTime":"1.5","successTime":"0","numRequests":"1","numErrors":"1","numConnectFailures":"1","numHttpServerErrors":"0","numConnectionsReset":"0","numDataMismatches":"0","numRequestTimeouts":"0"},"dimensions":{"cdn":"127.0.0.1:37426"}}])"
    "\n";

std::string Transfer(const std::string& tid, const std::string& status = "completed") {
    return R"({"pid":"acme","pkgid":"tool","vid":"1.0.0","tid":")" + tid + R"(","status":")" + status +
           R"(","transferBytes":"2500028","duration":"1.25"})" + "\n";
}

class Collector {
public:
    explicit Collector(const std::string& database, bool oneListener = false, std::size_t maxConnections = 1024)
        : committer_(OpenSqliteStore(database)), server_(Options(oneListener, maxConnections), committer_) {}
    ~Collector() {
        server_.Close(std::chrono::seconds(10));
        committer_.Stop();
    }

    static CollectorOptions Options(bool oneListener, std::size_t maxConnections) {
        CollectorOptions options;
        options.maxConnections = maxConnections;
        (oneListener ? options.both : options.events) = ListenAddress{};
        if (!oneListener) {
            options.transfers = ListenAddress{};
        }
        return options;
    }

    GroupCommitter committer_;
    CollectorServer server_;
};

class CollectorOnSqlite : public ::testing::Test {
protected:
    std::int64_t Events() const { return SqliteNumber(database_, "SELECT count(*) FROM event_records"); }
    std::int64_t Transfers() const { return SqliteNumber(database_, "SELECT count(*) FROM transfer_records"); }

    test::TemporaryFolder folder_;
    std::string database_ = folder_.Join("analytics.sqlite");
};

TEST_F(CollectorOnSqlite, WhatItAcknowledgesIsInTheDatabaseWhenTheAnswerArrives) {
    Collector collector(database_);
    test::CollectorClient events(collector.server_.EventsUrl());
    test::CollectorClient transfers(collector.server_.TransfersUrl());
    for (int i = 1; i <= 3; ++i) {
        const test::PostAnswer answer = events.Post(kEvents);
        ASSERT_EQ(answer.status, 204u) << answer.body;
        EXPECT_TRUE(answer.keepAlive);
        EXPECT_EQ(Events(), 3 * i) << "committed before the answer";
        ASSERT_EQ(transfers.Post(Transfer("t" + std::to_string(i))).status, 204u);
        EXPECT_EQ(Transfers(), i);
    }
    // Each post's elements share one post id, numbered in post order; posts differ.
    EXPECT_EQ(SqliteNumber(database_, "SELECT count(DISTINCT post_id) FROM event_records"), 3);
    EXPECT_EQ(SqliteNumber(database_, "SELECT count(DISTINCT post_id) FROM transfer_records"), 3);
    EXPECT_EQ(SqliteNumber(database_, "SELECT sum(element) FROM event_records"), 3 * (0 + 1 + 2));
    EXPECT_EQ(SqliteNumber(database_, "SELECT count(*) FROM event_records WHERE metric = 'numCompletes' AND "
                                      "count = 1 AND node IS NULL AND bytes IS NULL AND element = 0"),
              3);
    EXPECT_EQ(SqliteNumber(database_, "SELECT sum(bytes) FROM event_records WHERE node = '127.0.0.1:37425'"),
              3 * 1451452);
    EXPECT_EQ(SqliteNumber(database_, "SELECT count(*) FROM event_records WHERE node = '127.0.0.1:37426' AND "
                                      "request_time = 1.5 AND num_connect_failures = 1 AND metric IS NULL"),
              3);
    EXPECT_EQ(SqliteNumber(database_, "SELECT count(*) FROM transfer_records WHERE status = 'completed' AND "
                                      "transfer_bytes = 2500028 AND duration = 1.25 AND tid = 't2'"),
              1);
    const std::int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
    EXPECT_EQ(SqliteNumber(database_, "SELECT count(*) FROM event_records WHERE received_ms BETWEEN " +
                                          std::to_string(now - 60000) + " AND " + std::to_string(now)),
              9);
    EXPECT_EQ(collector.committer_.CommittedRecords(), 12u);
}

TEST_F(CollectorOnSqlite, HostileRequestsAreRefusedWithTheirStatusAndChangeNothing) {
    Collector collector(database_);
    const std::string url = collector.server_.EventsUrl();
    struct Case {
        const char* name;
        std::string body;
        std::string contentType;
        std::string method;
        std::string path;
        unsigned status;
    };
    const std::vector<Case> cases = {
        {"oversized", std::string(2 * kMaxBodyBytes, ' '), "application/json", "POST", "", 413},
        {"malformed JSON", kEvents.substr(0, 100), "application/json", "POST", "", 400},
        {"deep nesting", std::string(50000, '[') + std::string(50000, ']'), "application/json", "POST", "", 400},
        {"wrong types", R"({"pid":1,"pkgid":"k","vid":"v","metrics":{"numStarts":"1"},"dimensions":{}})",
         "application/json", "POST", "", 400},
        {"a transfer on the events endpoint", Transfer("x"), "application/json", "POST", "", 400},
        {"not JSON content", kEvents, "text/plain", "POST", "", 415},
        {"no content type", kEvents, "", "POST", "", 415},
        {"GET", "", "", "GET", "", 405},
        {"another path", kEvents, "application/json", "POST", "/admin", 404},
    };
    std::uint64_t refused = 0;
    for (const Case& c : cases) {
        test::CollectorClient client(url);
        const test::PostAnswer answer = client.Post(c.body, c.contentType, c.method, c.path);
        EXPECT_EQ(answer.status, c.status) << c.name << ": " << answer.body;
        EXPECT_FALSE(answer.body.empty()) << c.name << ": a refusal says why";
        EXPECT_EQ(collector.server_.RefusedPosts(), ++refused) << c.name;
    }
    EXPECT_EQ(Events(), 0);
    EXPECT_EQ(Transfers(), 0);

    // A refusal spoils neither the connection nor the server.
    test::CollectorClient client(url);
    EXPECT_EQ(client.Post("[{]").status, 400u);
    EXPECT_EQ(client.Post(kEvents).status, 204u);
    EXPECT_EQ(Events(), 3);
}

TEST_F(CollectorOnSqlite, OneListenerForBothKindsTellsThemApartByPath) {
    Collector collector(database_, true);
    const std::string events = collector.server_.EventsUrl();
    const std::string transfers = collector.server_.TransfersUrl();
    ASSERT_EQ(events.substr(events.size() - 7), "/events");
    ASSERT_EQ(transfers.substr(0, transfers.size() - 10), events.substr(0, events.size() - 7));
    EXPECT_EQ(test::CollectorClient(events).Post(kEvents).status, 204u);
    EXPECT_EQ(test::CollectorClient(transfers).Post(Transfer("t")).status, 204u);
    EXPECT_EQ(test::CollectorClient(events).Post(kEvents, "application/json", "POST", "/").status, 404u);
    EXPECT_EQ(Events(), 3);
    EXPECT_EQ(Transfers(), 1);
}

TEST_F(CollectorOnSqlite, ConcurrentClientsAreEachStoredExactlyOnce) {
    Collector collector(database_);
    constexpr int kClients = 8;
    constexpr int kPosts = 40;
    std::atomic<int> acknowledged{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            test::CollectorClient client(collector.server_.TransfersUrl());
            for (int i = 0; i < kPosts; ++i) {
                if (client.Post(Transfer(std::to_string(c) + "-" + std::to_string(i))).status == 204) {
                    ++acknowledged;
                }
            }
        });
    }
    for (std::thread& client : clients) {
        client.join();
    }
    EXPECT_EQ(acknowledged, kClients * kPosts);
    EXPECT_EQ(Transfers(), kClients * kPosts);
    EXPECT_EQ(SqliteNumber(database_, "SELECT count(DISTINCT tid) FROM transfer_records"), kClients * kPosts);
    EXPECT_LE(collector.committer_.Batches(), static_cast<std::uint64_t>(kClients * kPosts));
}

// A flood of clients costs at most the limit's sessions: the next one waits
// to be accepted until a connection ends, and is then served as usual.
TEST_F(CollectorOnSqlite, ClientsBeyondTheConnectionLimitWaitUntilAConnectionEnds) {
    Collector collector(database_, false, 2);
    const std::string url = collector.server_.TransfersUrl();
    auto first = std::make_unique<test::CollectorClient>(url);
    test::CollectorClient second(url);
    ASSERT_EQ(first->Post(Transfer("a")).status, 204u);
    ASSERT_EQ(second.Post(Transfer("b")).status, 204u);
    test::CollectorClient third(url);
    auto waiting = std::async(std::launch::async, [&] { return third.Post(Transfer("c")).status; });
    EXPECT_EQ(waiting.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout)
        << "a third connection was served beside two kept open";
    EXPECT_EQ(Transfers(), 2);
    first.reset();  // its connection ends, and the collector accepts again
    ASSERT_EQ(waiting.wait_for(std::chrono::seconds(15)), std::future_status::ready);
    EXPECT_EQ(waiting.get(), 204u);
    EXPECT_EQ(Transfers(), 3);
    EXPECT_EQ(second.Post(Transfer("d")).status, 204u) << "the kept connection still works";
}

TEST_F(CollectorOnSqlite, PruneDeletesWhatIsOlderThanTheDaysGivenAndKeepsTheRest) {
    {
        Collector collector(database_);
        test::CollectorClient events(collector.server_.EventsUrl());
        test::CollectorClient transfers(collector.server_.TransfersUrl());
        ASSERT_EQ(events.Post(kEvents).status, 204u);
        ASSERT_EQ(events.Post(kEvents).status, 204u);
        ASSERT_EQ(transfers.Post(Transfer("old")).status, 204u);
        ASSERT_EQ(transfers.Post(Transfer("new")).status, 204u);
    }
    // Age one events post and one transfer by ten days.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(database_.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "UPDATE event_records SET received_ms = received_ms - 864000000 WHERE post_id = "
                           "(SELECT min(post_id) FROM event_records);"
                           "UPDATE transfer_records SET received_ms = received_ms - 864000000 WHERE tid = 'old';",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);

    std::ostringstream out, err;
    EXPECT_EQ(RunPrune({"--older-than", "11", "--database", database_}, out, err), 0) << err.str();
    EXPECT_EQ(Events() + Transfers(), 8) << "nothing is that old";
    EXPECT_EQ(RunPrune({"--older-than", "9", "--database", database_}, out, err), 0) << err.str();
    EXPECT_NE(out.str().find("pruned 4 records"), std::string::npos) << out.str();
    EXPECT_EQ(Events(), 3);
    EXPECT_EQ(SqliteNumber(database_, "SELECT count(*) FROM transfer_records WHERE tid = 'new'"), 1);
    EXPECT_EQ(Transfers(), 1);

    std::ostringstream missingOut, missingErr;
    const std::string missing = folder_.Join("missing.sqlite");
    EXPECT_EQ(RunPrune({"--older-than", "1", "--database", missing}, missingOut, missingErr), 1);
    EXPECT_FALSE(std::filesystem::exists(missing)) << "prune creates no database";
    EXPECT_EQ(RunPrune({"--older-than", "-1", "--database", database_}, missingOut, missingErr), 2);
}

TEST_F(CollectorOnSqlite, EveryPostTheEngineSendsDuringATransferIsAccepted) {
    Collector collector(database_);
    test::ScopedEnvironment environment;
    test::TemporaryFolder user, input, root, destination;
    test::IsolateEngineEnvironment(environment, user.Path());
    test::RandomFiles files(input.Path(), 11);
    files.Write("run.sh", 2000);
    files.Write("data.bin", 300000);
    cdn::CdnServerOptions cdnOptions;
    cdnOptions.contentRoot = root.Path();
    cdnOptions.nodeCount = 2;
    cdn::CdnServer cdn(cdnOptions);
    pack::PackageOptions pack = test::CurrentPackageOptions(input.Path(), root.Path(), "1");
    pack.name = "Collector Test";
    pack.run = "run.sh";
    pack.nodes = test::CdnNodeAuthorities(cdn);
    pack::BuildPackage(pack);

    TransferSettings settings = test::CdnTransferSettings(cdn);
    settings.analyticsEventsUrl = collector.server_.EventsUrl();
    settings.analyticsTransfersUrl = collector.server_.TransfersUrl();
    std::string id;
    {
        TransferService service(settings);
        id = service.CreateTransfer("partner", "pkg").transferId;
        ASSERT_TRUE(test::WaitFor([&] {
            return service.GetTransferStatus(id).state == static_cast<std::uint8_t>(TransferState::Initialized);
        }));
        service.StartTransfer(id, destination.Path());
        ASSERT_TRUE(test::WaitFor([&] {
            const TransferStatus status = service.GetTransferStatus(id);
            return status.state == static_cast<std::uint8_t>(TransferState::Completed) || status.IsFinal();
        }));
        ASSERT_EQ(service.GetTransferStatus(id).state, static_cast<std::uint8_t>(TransferState::Completed));
    }  // the service sends every queued post before it goes

    EXPECT_EQ(collector.server_.RefusedPosts(), 0u);
    EXPECT_EQ(collector.committer_.FailedPosts(), 0u);
    const std::string tid = "'" + id + "'";
    EXPECT_EQ(SqliteNumber(database_, "SELECT count(*) FROM transfer_records WHERE status = 'active' AND tid = " + tid),
              1);
    EXPECT_EQ(SqliteNumber(database_,
                           "SELECT count(*) FROM transfer_records WHERE status = 'completed' AND pid = 'partner' AND "
                           "pkgid = 'pkg' AND vid = '1' AND tid = " + tid),
              1);
    for (const char* counter : {"numInitializes", "numInitializeCompletes", "numStarts", "numCompletes"}) {
        EXPECT_EQ(SqliteNumber(database_,
                               std::string("SELECT count(*) FROM event_records WHERE metric = '") + counter + "'"),
                  1)
            << counter;
    }
    // The completion's array carries one element per node, with what each served.
    EXPECT_EQ(SqliteNumber(database_, "SELECT count(*) FROM event_records WHERE node IS NOT NULL"), 2);
    EXPECT_GE(SqliteNumber(database_, "SELECT sum(bytes) FROM event_records WHERE node IS NOT NULL"), 302000);
    EXPECT_EQ(SqliteNumber(database_, "SELECT count(*) FROM event_records WHERE node IS NOT NULL AND post_id = "
                                      "(SELECT post_id FROM event_records WHERE metric = 'numCompletes')"),
              2);
    const std::uint64_t posts = cdn.Posts(cdn::CdnEndpoint::Events()).size() + cdn.Posts(cdn::CdnEndpoint::Transfers()).size();
    EXPECT_EQ(posts, 0u) << "the CDN's own analytics endpoints got nothing";
    EXPECT_EQ(collector.server_.AcceptedPosts(), collector.committer_.CommittedPosts());
}

}  // namespace
}  // namespace tvl::analytics
