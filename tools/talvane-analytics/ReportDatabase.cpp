#include "tools/talvane-analytics/ReportDatabase.h"

#include <libpq-fe.h>
#include <sqlite3.h>

#include <memory>

namespace tvl::analytics {
namespace {

class SqliteReportDatabase : public ReportDatabase {
  public:
    explicit SqliteReportDatabase(const std::string& path) : path_(path) {
        sqlite3* handle = nullptr;
        const int opened = sqlite3_open_v2(path.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr);
        database_.reset(handle);
        if (opened != SQLITE_OK) {
            throw ReportDatabaseError("cannot open " + path + ": " +
                                      (handle != nullptr ? sqlite3_errmsg(handle) : sqlite3_errstr(opened)));
        }
        // The collector may be writing at the same time; its commits are short.
        sqlite3_busy_timeout(handle, 5000);
    }

    std::vector<Row> Query(const std::string& sql, const std::vector<std::int64_t>& parameters) override {
        sqlite3_stmt* raw = nullptr;
        if (sqlite3_prepare_v2(database_.get(), sql.c_str(), static_cast<int>(sql.size()), &raw, nullptr) !=
            SQLITE_OK) {
            throw Failure();
        }
        const std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)> statement(raw, &sqlite3_finalize);
        for (std::size_t i = 0; i < parameters.size(); ++i) {
            // "$1" is a named parameter to SQLite; look its slot up by name
            // rather than trusting the order of first use.
            const std::string name = "$" + std::to_string(i + 1);
            const int slot = sqlite3_bind_parameter_index(raw, name.c_str());
            if (slot != 0 && sqlite3_bind_int64(raw, slot, parameters[i]) != SQLITE_OK) {
                throw Failure();
            }
        }
        std::vector<Row> rows;
        const int columns = sqlite3_column_count(raw);
        for (;;) {
            const int step = sqlite3_step(raw);
            if (step == SQLITE_DONE) {
                break;
            }
            if (step != SQLITE_ROW) {
                throw Failure();
            }
            Row row;
            row.reserve(static_cast<std::size_t>(columns));
            for (int c = 0; c < columns; ++c) {
                if (sqlite3_column_type(raw, c) == SQLITE_NULL) {
                    row.emplace_back();
                } else {
                    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(raw, c));
                    row.emplace_back(
                        std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(raw, c))));
                }
            }
            rows.push_back(std::move(row));
        }
        return rows;
    }

    std::string Describe() const override { return "SQLite file " + path_; }

  private:
    ReportDatabaseError Failure() const {
        return ReportDatabaseError("cannot read " + path_ + ": " + sqlite3_errmsg(database_.get()));
    }

    std::string path_;
    std::unique_ptr<sqlite3, decltype(&sqlite3_close)> database_{nullptr, &sqlite3_close};
};

// libpq's messages end with a line feed and may run over several lines.
std::string FirstLine(const char* message) {
    std::string text = message != nullptr ? message : "";
    const auto end = text.find('\n');
    return end == std::string::npos ? text : text.substr(0, end);
}

class PostgresReportDatabase : public ReportDatabase {
  public:
    explicit PostgresReportDatabase(const std::string& conninfo)
        : connection_(PQconnectdb(conninfo.c_str()), &PQfinish) {
        if (connection_ == nullptr) {
            throw ReportDatabaseError("cannot connect to PostgreSQL: out of memory");
        }
        if (PQstatus(connection_.get()) != CONNECTION_OK) {
            throw ReportDatabaseError("cannot connect to PostgreSQL: " +
                                      FirstLine(PQerrorMessage(connection_.get())));
        }
        // The report reads several tables; one snapshot keeps its figures
        // consistent while collectors go on inserting.
        Command("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY");
    }

    std::vector<Row> Query(const std::string& sql, const std::vector<std::int64_t>& parameters) override {
        std::vector<std::string> texts;
        texts.reserve(parameters.size());
        for (const std::int64_t value : parameters) {
            texts.push_back(std::to_string(value));
        }
        std::vector<const char*> values;
        for (const std::string& text : texts) {
            values.push_back(text.c_str());
        }
        const Result result(PQexecParams(connection_.get(), sql.c_str(), static_cast<int>(values.size()),
                                         nullptr, values.data(), nullptr, nullptr, 0),
                            &PQclear);
        if (PQresultStatus(result.get()) != PGRES_TUPLES_OK) {
            throw Failure();
        }
        std::vector<Row> rows;
        const int count = PQntuples(result.get());
        const int columns = PQnfields(result.get());
        rows.reserve(static_cast<std::size_t>(count));
        for (int r = 0; r < count; ++r) {
            Row row;
            for (int c = 0; c < columns; ++c) {
                if (PQgetisnull(result.get(), r, c)) {
                    row.emplace_back();
                } else {
                    row.emplace_back(std::string(PQgetvalue(result.get(), r, c),
                                                 static_cast<std::size_t>(PQgetlength(result.get(), r, c))));
                }
            }
            rows.push_back(std::move(row));
        }
        return rows;
    }

    std::string Describe() const override {
        return std::string("PostgreSQL database ") + PQdb(connection_.get()) + " on " +
               PQhost(connection_.get());
    }

  private:
    using Result = std::unique_ptr<PGresult, decltype(&PQclear)>;

    void Command(const char* sql) {
        const Result result(PQexec(connection_.get(), sql), &PQclear);
        if (PQresultStatus(result.get()) != PGRES_COMMAND_OK) {
            throw Failure();
        }
    }

    ReportDatabaseError Failure() const {
        return ReportDatabaseError("cannot read the PostgreSQL database: " +
                                   FirstLine(PQerrorMessage(connection_.get())));
    }

    std::unique_ptr<PGconn, decltype(&PQfinish)> connection_;
};

}  // namespace

std::unique_ptr<ReportDatabase> OpenSqliteReportDatabase(const std::string& path) {
    return std::make_unique<SqliteReportDatabase>(path);
}

std::unique_ptr<ReportDatabase> OpenPostgresReportDatabase(const std::string& conninfo) {
    return std::make_unique<PostgresReportDatabase>(conninfo);
}

}  // namespace tvl::analytics
