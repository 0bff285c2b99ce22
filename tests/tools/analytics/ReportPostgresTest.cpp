// The report's SQL is written once: the same rows in SQLite and in a
// PostgreSQL server started for the test give the same figures, to the byte
// of their JSON. Skipped where no PostgreSQL server can be started.

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sqlite3.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "tests/support/TemporaryFolder.h"
#include "tests/tools/analytics/PostgresServer.h"
#include "tests/tools/analytics/ReportTestDatabase.h"
#include "tools/talvane-analytics/ReportDatabase.h"
#include "tools/talvane-analytics/ReportFigures.h"
#include "tools/talvane-analytics/ReportJson.h"

namespace tvl::analytics {
namespace {

using test::kHourMsForTests;
using test::kReportBaseMs;

using Connection = std::unique_ptr<PGconn, decltype(&PQfinish)>;
using Result = std::unique_ptr<PGresult, decltype(&PQclear)>;

void Execute(PGconn* connection, const std::string& sql) {
    const Result result(PQexec(connection, sql.c_str()), &PQclear);
    if (PQresultStatus(result.get()) != PGRES_COMMAND_OK) {
        throw std::runtime_error(sql.substr(0, 60) + ": " + PQerrorMessage(connection));
    }
}

// Every row of `table` from the SQLite file into PostgreSQL, value by value
// as text (NULL as NULL), so that both hold exactly the same records.
void CopyTable(sqlite3* from, PGconn* to, const std::string& table) {
    sqlite3_stmt* raw = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(from, ("SELECT * FROM " + table).c_str(), -1, &raw, nullptr), SQLITE_OK);
    const std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)> rows(raw, &sqlite3_finalize);
    const int columns = sqlite3_column_count(raw);
    std::string names;
    std::string slots;
    for (int c = 0; c < columns; ++c) {
        names += (c ? ", " : "") + std::string(sqlite3_column_name(raw, c));
        slots += (c ? ", $" : "$") + std::to_string(c + 1);
    }
    const std::string insert = "INSERT INTO " + table + " (" + names + ") VALUES (" + slots + ")";
    while (sqlite3_step(raw) == SQLITE_ROW) {
        std::vector<std::string> texts(static_cast<std::size_t>(columns));
        std::vector<const char*> values(static_cast<std::size_t>(columns), nullptr);
        for (int c = 0; c < columns; ++c) {
            if (sqlite3_column_type(raw, c) != SQLITE_NULL) {
                texts[c] = reinterpret_cast<const char*>(sqlite3_column_text(raw, c));
                values[c] = texts[c].c_str();
            }
        }
        const Result result(
            PQexecParams(to, insert.c_str(), columns, nullptr, values.data(), nullptr, nullptr, 0), &PQclear);
        ASSERT_EQ(PQresultStatus(result.get()), PGRES_COMMAND_OK) << PQerrorMessage(to);
    }
}

TEST(ReportOnPostgres, TheSameRowsGiveTheSameFiguresAsOnSqlite) {
    const std::string unavailable = test::PostgresServer::Unavailable();
    if (!unavailable.empty()) {
        GTEST_SKIP() << unavailable;
    }
    test::TemporaryFolder folder;
    const std::string path = folder.Join("analytics.db");
    {
        test::ReportTestDatabase rows(path);
        test::FillWithEveryKind(rows);
        for (int i = 0; i < 12; ++i) {
            rows.Error(kReportBaseMs + 7 * kHourMsForTests + i, i % 3 == 0,
                       "error|" + std::to_string(i) + "|x");
        }
        rows.Error(kReportBaseMs + 8 * kHourMsForTests, false, "");
        // Started before the period, completed in it.
        rows.Transfer(kReportBaseMs, "long", "active");
        rows.Transfer(kReportBaseMs + 9 * kHourMsForTests, "long", "completed", 5);
    }

    test::PostgresServer server;
    const Connection connection(PQconnectdb(server.ConnectionString().c_str()), &PQfinish);
    ASSERT_EQ(PQstatus(connection.get()), CONNECTION_OK) << PQerrorMessage(connection.get());
    std::ifstream schema(TALVANE_ANALYTICS_SCHEMA_PATH);
    std::ostringstream ddl;
    ddl << schema.rdbuf();
    Execute(connection.get(), ddl.str());
    {
        sqlite3* handle = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &handle), SQLITE_OK);
        const std::unique_ptr<sqlite3, decltype(&sqlite3_close)> sqlite(handle, &sqlite3_close);
        CopyTable(handle, connection.get(), "event_records");
        CopyTable(handle, connection.get(), "transfer_records");
    }

    for (const std::optional<std::int64_t> since :
         {std::optional<std::int64_t>(), std::optional<std::int64_t>(kReportBaseMs + 2 * kHourMsForTests)}) {
        const std::int64_t now = kReportBaseMs + 10 * kHourMsForTests;
        ReportFigures onSqlite = ComputeReportFigures(*OpenSqliteReportDatabase(path), since, now);
        ReportFigures onPostgres =
            ComputeReportFigures(*OpenPostgresReportDatabase(server.ConnectionString()), since, now);
        EXPECT_NE(onPostgres.source.find("PostgreSQL"), std::string::npos);
        // Codes 0 to 11 and the text without one; the nodes before the start; transfers completed.
        EXPECT_EQ(onPostgres.errors.size(), 13u);
        EXPECT_EQ(onPostgres.nodes.size(), since ? 0u : 2u);
        EXPECT_FALSE(onPostgres.completion.seconds.empty());
        onPostgres.source = onSqlite.source;
        EXPECT_EQ(ReportJson(onPostgres), ReportJson(onSqlite));
    }
}

TEST(ReportOnPostgres, AServerThatCannotBeReachedGivesAClearError) {
    test::TemporaryFolder folder;
    try {
        OpenPostgresReportDatabase("host=" + folder.Path() + " dbname=none connect_timeout=2");
        FAIL() << "connected to nothing";
    } catch (const ReportDatabaseError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("cannot connect to PostgreSQL: ", 0), 0u) << e.what();
        EXPECT_EQ(std::string(e.what()).find('\n'), std::string::npos) << e.what();
    }
}

}  // namespace
}  // namespace tvl::analytics
