#include "tests/tools/analytics/ReportTestDatabase.h"

#include <sqlite3.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <variant>
#include <vector>

namespace tvl::test {

ReportTestDatabase::ReportTestDatabase(const std::string& path) : path_(path) {
    if (sqlite3_open(path.c_str(), &database_) != SQLITE_OK) {
        throw std::runtime_error("cannot create " + path);
    }
    std::ifstream schema(TALVANE_ANALYTICS_SCHEMA_PATH);
    std::ostringstream text;
    text << schema.rdbuf();
    if (text.str().empty()) {
        throw std::runtime_error("cannot read the schema " TALVANE_ANALYTICS_SCHEMA_PATH);
    }
    // Nothing here must survive a crash; a sync per row would make the
    // tests slow for no check.
    const std::string sql = "PRAGMA synchronous = OFF; PRAGMA journal_mode = MEMORY; " + text.str();
    char* message = nullptr;
    if (sqlite3_exec(database_, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
        const std::string error = message != nullptr ? message : "?";
        sqlite3_free(message);
        throw std::runtime_error("test database schema: " + error);
    }
}

ReportTestDatabase::~ReportTestDatabase() {
    sqlite3_close(database_);
}

void ReportTestDatabase::Insert(const std::string& table, const std::vector<std::string>& columns,
                                const std::vector<Value>& values) {
    std::string names = "id, received_ms, post_id";
    std::string slots = "?, ?, ?";
    for (const std::string& column : columns) {
        names += ", " + column;
        slots += ", ?";
    }
    const std::string sql = "INSERT INTO " + table + " (" + names + ") VALUES (" + slots + ")";
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(database_, sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) {
        throw std::runtime_error("test database: " + std::string(sqlite3_errmsg(database_)));
    }
    const std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)> statement(raw, &sqlite3_finalize);
    const std::int64_t id = nextId_++;
    std::vector<Value> all{id, values.at(0), "post" + std::to_string(id)};
    all.insert(all.end(), values.begin() + 1, values.end());
    for (std::size_t i = 0; i < all.size(); ++i) {
        const int slot = static_cast<int>(i + 1);
        std::visit(
            [&](const auto& value) {
                using T = std::decay_t<decltype(value)>;
                if constexpr (std::is_same_v<T, std::nullptr_t>) {
                    sqlite3_bind_null(raw, slot);
                } else if constexpr (std::is_same_v<T, std::int64_t>) {
                    sqlite3_bind_int64(raw, slot, value);
                } else if constexpr (std::is_same_v<T, double>) {
                    sqlite3_bind_double(raw, slot, value);
                } else {
                    sqlite3_bind_text(raw, slot, value.data(), static_cast<int>(value.size()),
                                      SQLITE_TRANSIENT);
                }
            },
            all[i]);
    }
    if (sqlite3_step(raw) != SQLITE_DONE) {
        throw std::runtime_error("test database: " + std::string(sqlite3_errmsg(database_)));
    }
}

void ReportTestDatabase::Counter(std::int64_t ms, const std::string& metric, const std::string& pkgid,
                                 const std::string& vid) {
    Insert("event_records", {"element", "pid", "pkgid", "vid", "metric", "count"},
           {ms, std::int64_t{0}, "acme", pkgid, vid, metric, std::int64_t{1}});
}

void ReportTestDatabase::Error(std::int64_t ms, bool fatal, const std::string& error,
                               const std::string& pkgid, const std::string& vid) {
    Insert("event_records", {"element", "pid", "pkgid", "vid", "metric", "count", "error"},
           {ms, std::int64_t{0}, "acme", pkgid, vid, fatal ? "numFatalErrors" : "numRetryableErrors",
            std::int64_t{1}, error.empty() ? Value(nullptr) : Value(error)});
}

void ReportTestDatabase::Node(std::int64_t ms, const std::string& node, const NodeRow& f) {
    Insert("event_records",
           {"element", "pid", "pkgid", "vid", "node", "bytes", "success_bytes", "first_byte_time",
            "request_time", "success_time", "num_requests", "num_errors", "num_connect_failures",
            "num_http_server_errors", "num_connections_reset", "num_data_mismatches", "num_request_timeouts"},
           {ms, std::int64_t{1}, "acme", "tool", "1.0", node, f.bytes, f.successBytes, f.firstByteTime,
            f.requestTime, f.successTime, f.requests, f.errors, f.connectFailures, f.httpServerErrors,
            std::int64_t{0}, std::int64_t{0}, f.requestTimeouts});
}

void ReportTestDatabase::Transfer(std::int64_t ms, const std::string& tid, const std::string& status,
                                  std::int64_t bytes, const std::string& pkgid, const std::string& vid) {
    Insert("transfer_records", {"pid", "pkgid", "vid", "tid", "status", "transfer_bytes", "duration"},
           {ms, "acme", pkgid, vid, tid, status, bytes, 0.0});
}

void FillWithEveryKind(ReportTestDatabase& rows) {
    for (int hour = 0; hour < 5; ++hour) {
        const std::int64_t at = kReportBaseMs + hour * kHourMsForTests;
        for (int i = 0; i <= hour; ++i) {
            const std::string tid = "t" + std::to_string(hour) + "-" + std::to_string(i);
            rows.Counter(at + i, "numStarts", "tool", "2.0");
            rows.Transfer(at + i, tid, "active", 0, "tool", "2.0");
            rows.Counter(at + i + (i + 1) * kMinuteMs, "numCompletes", "tool", "2.0");
            rows.Transfer(at + i + (i + 1) * kMinuteMs, tid, "completed", 1'000'000, "tool", "2.0");
        }
    }
    rows.Error(kReportBaseMs + 10, true, "error|2|6|<b>bold</b> \x01 & more", "tool\"quoted", "1.0");
    rows.Error(kReportBaseMs + 11, false, "error|10|Geofence|KP");
    NodeRow node;
    node.bytes = node.successBytes = 5'000'000;
    node.successTime = node.requestTime = 2.5;
    node.requests = 20;
    node.errors = 2;
    rows.Node(kReportBaseMs + 12, kHostileNode, node);
    rows.Node(kReportBaseMs + 13, "cdn-2.example:8080", node);
}

}  // namespace tvl::test
