#pragma once

// The report's read-only view of the collector's database: one query at a
// time, every value handed back as its text (NULL as no value), so that the
// same SQL and the same reading code serve SQLite and PostgreSQL. Parameters
// are written $1, $2, ... and are whole numbers. One object per connection;
// not thread-safe.

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tvl::analytics {

// The database cannot be opened or read; what() is one line for the user.
class ReportDatabaseError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class ReportDatabase {
  public:
    using Value = std::optional<std::string>;
    using Row = std::vector<Value>;

    virtual ~ReportDatabase() = default;
    ReportDatabase(const ReportDatabase&) = delete;
    ReportDatabase& operator=(const ReportDatabase&) = delete;

    // Throws ReportDatabaseError with the database's own message.
    virtual std::vector<Row> Query(const std::string& sql, const std::vector<std::int64_t>& parameters) = 0;

    // Names the database for the page ("SQLite file /var/lib/x.db"), never
    // with a password from a connection string.
    virtual std::string Describe() const = 0;

  protected:
    ReportDatabase() = default;
};

// Opens an existing file read-only; a missing file is an error, not a new
// empty database.
std::unique_ptr<ReportDatabase> OpenSqliteReportDatabase(const std::string& path);

// `conninfo` as libpq takes it ("host=... dbname=..." or a postgresql:// URI).
std::unique_ptr<ReportDatabase> OpenPostgresReportDatabase(const std::string& conninfo);

}  // namespace tvl::analytics
