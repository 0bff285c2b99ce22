#pragma once

// A SQLite database made from the collector's schema and filled by the test
// with rows whose figures it knows, without the collector. Times are
// milliseconds since 1970 UTC, as the collector stamps them. Not thread-safe.

#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

struct sqlite3;

namespace tvl::test {

// 2026-03-01 10:00:00 UTC, the start of an hour.
inline constexpr std::int64_t kReportBaseMs = 1772359200000;
inline constexpr std::int64_t kMinuteMs = 60 * 1000;
inline constexpr std::int64_t kHourMsForTests = 60 * kMinuteMs;

struct NodeRow {
    std::int64_t bytes = 0;
    std::int64_t successBytes = 0;
    double firstByteTime = 0;
    double requestTime = 0;
    double successTime = 0;
    std::int64_t requests = 0;
    std::int64_t errors = 0;
    std::int64_t connectFailures = 0;
    std::int64_t httpServerErrors = 0;
    std::int64_t requestTimeouts = 0;
};

class ReportTestDatabase {
  public:
    // Creates the file with the collector's tables.
    explicit ReportTestDatabase(const std::string& path);
    ~ReportTestDatabase();
    ReportTestDatabase(const ReportTestDatabase&) = delete;
    ReportTestDatabase& operator=(const ReportTestDatabase&) = delete;

    void Counter(std::int64_t ms, const std::string& metric, const std::string& pkgid = "tool",
                 const std::string& vid = "1.0");
    // An error element; an empty `error` is stored as NULL (no dimension).
    void Error(std::int64_t ms, bool fatal, const std::string& error, const std::string& pkgid = "tool",
               const std::string& vid = "1.0");
    void Node(std::int64_t ms, const std::string& node, const NodeRow& figures);
    void Transfer(std::int64_t ms, const std::string& tid, const std::string& status, std::int64_t bytes = 0,
                  const std::string& pkgid = "tool", const std::string& vid = "1.0");

    const std::string& Path() const { return path_; }

  private:
    using Value = std::variant<std::nullptr_t, std::int64_t, double, std::string>;
    // `values` start with received_ms; the id and a post id are added.
    void Insert(const std::string& table, const std::vector<std::string>& columns,
                const std::vector<Value>& values);

    std::string path_;
    sqlite3* database_ = nullptr;
    std::int64_t nextId_ = 1;
};

// A download node's name that would be markup if a page took it as such.
inline constexpr char kHostileNode[] = "<script>alert('x')</script>&co:80";

// Five hours of transfers (h + 1 in hour h, each taking i + 1 minutes and
// 1 MB), a fatal connection error and a retried geofence error with text
// that would break careless markup (all of it valid UTF-8, which PostgreSQL
// requires), and two nodes (one of them
// kHostileNode) of 5 MB in 2.5 s with 2 errors in 20 requests each.
void FillWithEveryKind(ReportTestDatabase& rows);

}  // namespace tvl::test
