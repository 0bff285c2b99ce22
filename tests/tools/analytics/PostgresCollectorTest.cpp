// The collector against a PostgreSQL server started for the test: two
// collectors share one database, each post's records are there once, a
// refused post leaves nothing, and prune works there too.

#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <sstream>
#include <stdexcept>

#include "tests/tools/analytics/CollectorClient.h"
#include "tests/tools/analytics/PostgresServer.h"
#include "tools/talvane-analytics/AnalyticsStore.h"
#include "tools/talvane-analytics/CollectorCommandLine.h"
#include "tools/talvane-analytics/CollectorServer.h"
#include "tools/talvane-analytics/GroupCommitter.h"

namespace tvl::analytics {
namespace {

std::int64_t PostgresNumber(const std::string& conninfo, const std::string& query) {
    PGconn* connection = PQconnectdb(conninfo.c_str());
    PGresult* result = PQexec(connection, query.c_str());
    const bool ok = PQresultStatus(result) == PGRES_TUPLES_OK && PQntuples(result) == 1;
    const std::string value = ok ? PQgetvalue(result, 0, 0) : "";
    const std::string message = PQerrorMessage(connection);
    PQclear(result);
    PQfinish(connection);
    if (!ok) {
        throw std::runtime_error(query + ": " + message);
    }
    return std::stoll(value);
}

std::string Transfer(const std::string& tid) {
    return R"({"pid":"acme","pkgid":"tool","vid":"2","tid":")" + tid +
           R"(","status":"active","transferBytes":"0","duration":"0"})";
}

const std::string kErrorEvents =
    R"([{"pid":"acme","pkgid":"tool","vid":"2","metrics":{"numFatalErrors":"1"},"dimensions":{"error":"error|10|Geofence|KP"}},)"
    R"({"pid":"acme","pkgid":"tool","vid":"2","metrics":{"bytes":"10","successBytes":"10","firstByteTime":"0.25","requestTime":"0.5","successTime":"0.5","numRequests":"1","numErrors":"0","numConnectFailures":"0","numHttpServerErrors":"0","numConnectionsReset":"0","numDataMismatches":"0","numRequestTimeouts":"0"},"dimensions":{"cdn":"n1"}}])";

struct PostgresCollector {
    explicit PostgresCollector(const std::string& conninfo)
        : committer(OpenPostgresStore(conninfo)), server(Options(), committer) {}
    ~PostgresCollector() {
        server.Close(std::chrono::seconds(10));
        committer.Stop();
    }
    static CollectorOptions Options() {
        CollectorOptions options;
        options.events = ListenAddress{};
        options.transfers = ListenAddress{};
        return options;
    }
    GroupCommitter committer;
    CollectorServer server;
};

TEST(CollectorOnPostgres, TwoCollectorsShareOneDatabaseAndPruneWorksThere) {
    const std::string unavailable = test::PostgresServer::Unavailable();
    if (!unavailable.empty()) {
        GTEST_SKIP() << unavailable;
    }
    test::PostgresServer postgres;
    const std::string conninfo = postgres.ConnectionString();
    {
        PostgresCollector first(conninfo);
        PostgresCollector second(conninfo);  // finds the tables the first one made
        test::CollectorClient firstTransfers(first.server.TransfersUrl());
        test::CollectorClient secondTransfers(second.server.TransfersUrl());
        for (int i = 0; i < 20; ++i) {
            ASSERT_EQ(firstTransfers.Post(Transfer("a" + std::to_string(i))).status, 204u);
            ASSERT_EQ(secondTransfers.Post(Transfer("b" + std::to_string(i))).status, 204u);
            EXPECT_EQ(PostgresNumber(conninfo, "SELECT count(*) FROM transfer_records"), 2 * (i + 1))
                << "committed before the answer";
        }
        ASSERT_EQ(test::CollectorClient(second.server.EventsUrl()).Post(kErrorEvents).status, 204u);
        // Refused: a figure that is not a number, and JSON cut short.
        EXPECT_EQ(test::CollectorClient(first.server.EventsUrl()).Post(kErrorEvents.substr(0, 80)).status, 400u);
        const std::string badFigure = Transfer("bad").replace(Transfer("bad").find("\"0\""), 3, "\"zero\"");
        EXPECT_EQ(firstTransfers.Post(badFigure).status, 400u);
    }
    EXPECT_EQ(PostgresNumber(conninfo, "SELECT count(*) FROM transfer_records"), 40);
    EXPECT_EQ(PostgresNumber(conninfo, "SELECT count(DISTINCT id) FROM transfer_records"), 40);
    EXPECT_EQ(PostgresNumber(conninfo, "SELECT count(DISTINCT post_id) FROM transfer_records"), 40);
    EXPECT_EQ(PostgresNumber(conninfo, "SELECT count(DISTINCT split_part(post_id, '-', 1)) FROM transfer_records"),
              2)
        << "each collector makes post ids of its own";
    EXPECT_EQ(PostgresNumber(conninfo, "SELECT count(*) FROM transfer_records WHERE tid = 'bad'"), 0);
    EXPECT_EQ(PostgresNumber(conninfo, "SELECT count(*) FROM event_records WHERE metric = 'numFatalErrors' AND "
                                       "error = 'error|10|Geofence|KP' AND count = 1 AND element = 0"),
              1);
    EXPECT_EQ(PostgresNumber(conninfo, "SELECT count(*) FROM event_records WHERE node = 'n1' AND element = 1 AND "
                                       "first_byte_time = 0.25 AND bytes = 10 AND metric IS NULL"),
              1);

    PGconn* connection = PQconnectdb(conninfo.c_str());
    PQclear(PQexec(connection,
                   "UPDATE transfer_records SET received_ms = received_ms - 3 * 86400000 WHERE tid LIKE 'a%'"));
    PQfinish(connection);
    std::ostringstream out, err;
    ASSERT_EQ(RunPrune({"--older-than", "2", "--postgres", conninfo}, out, err), 0) << err.str();
    EXPECT_NE(out.str().find("pruned 20 records"), std::string::npos) << out.str();
    EXPECT_EQ(PostgresNumber(conninfo, "SELECT count(*) FROM transfer_records WHERE tid LIKE 'b%'"), 20);
    EXPECT_EQ(PostgresNumber(conninfo, "SELECT count(*) FROM transfer_records"), 20);
    EXPECT_EQ(PostgresNumber(conninfo, "SELECT count(*) FROM event_records"), 2);
}

}  // namespace
}  // namespace tvl::analytics
