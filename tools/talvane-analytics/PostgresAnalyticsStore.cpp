// The PostgreSQL store, over libpq. Several collectors may append to one
// database at once: ids come from the tables' sequences, and the tables are
// created under an advisory lock so that collectors starting together do not
// trip over each other's CREATE TABLE.

#include <libpq-fe.h>

#include <charconv>
#include <cstdlib>

#include "tools/talvane-analytics/AnalyticsStore.h"
#include "tools/talvane-analytics/StoreColumns.h"

namespace tvl::analytics {
namespace {

// Any fixed number: the key of the advisory lock that serialises schema creation.
constexpr long long kSchemaLockKey = 0x74616c76616e65;
// Rows per INSERT: PostgreSQL takes at most 65535 parameters per statement.
constexpr std::size_t kRowsPerStatement = 1000;

using Result = std::unique_ptr<PGresult, decltype(&PQclear)>;

std::string PostgresSchema() {
    std::string schema = SchemaText();
    const std::string sqlite = "INTEGER PRIMARY KEY";
    for (std::size_t at = schema.find(sqlite); at != std::string::npos; at = schema.find(sqlite, at)) {
        schema.replace(at, sqlite.size(), "BIGSERIAL PRIMARY KEY");
    }
    return schema;
}

std::string RealText(double value) {
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

// Text parameters of one multi-row INSERT; an empty optional is NULL.
class Parameters {
public:
    void Text(const std::string& value) { values_.emplace_back(value); }
    void Text(const std::optional<std::string>& value) { values_.push_back(value); }
    void Int(std::int64_t value) { values_.emplace_back(std::to_string(value)); }
    void Int(const std::optional<std::int64_t>& value) {
        value ? Int(*value) : Null();
    }
    void Real(double value) { values_.emplace_back(RealText(value)); }
    void Null() { values_.emplace_back(); }
    std::size_t Size() const { return values_.size(); }
    bool Empty() const { return values_.empty(); }
    void Clear() { values_.clear(); }

    std::vector<const char*> Pointers() const {
        std::vector<const char*> pointers;
        pointers.reserve(values_.size());
        for (const auto& value : values_) {
            pointers.push_back(value ? value->c_str() : nullptr);
        }
        return pointers;
    }

private:
    std::vector<std::optional<std::string>> values_;
};

class PostgresAnalyticsStore : public AnalyticsStore {
public:
    explicit PostgresAnalyticsStore(const std::string& conninfo) : connection_(PQconnectdb(conninfo.c_str())) {
        if (connection_ == nullptr || PQstatus(connection_) != CONNECTION_OK) {
            const std::string message = connection_ != nullptr ? PQerrorMessage(connection_) : "out of memory";
            PQfinish(connection_);
            throw StoreError("postgresql: cannot connect: " + Trimmed(message));
        }
        try {
            Prepare();
        } catch (...) {
            PQfinish(connection_);
            throw;
        }
    }

    ~PostgresAnalyticsStore() override { PQfinish(connection_); }

    void Append(const std::vector<const AcceptedPost*>& posts) override {
        Reconnect();
        Execute("BEGIN");
        try {
            Parameters parameters;
            std::size_t rows = 0;
            auto flush = [&](const char* table, const char* columns, int columnCount) {
                if (rows > 0) {
                    Insert(table, columns, columnCount, rows, parameters);
                }
                parameters.Clear();
                rows = 0;
            };
            for (const AcceptedPost* post : posts) {
                for (const EventRecord& record : post->events) {
                    AddEvent(*post, record, parameters);
                    if (++rows == kRowsPerStatement) {
                        flush("event_records", kEventColumns, kEventColumnCount);
                    }
                }
            }
            flush("event_records", kEventColumns, kEventColumnCount);
            for (const AcceptedPost* post : posts) {
                for (const TransferRecord& record : post->transfers) {
                    AddTransfer(*post, record, parameters);
                    if (++rows == kRowsPerStatement) {
                        flush("transfer_records", kTransferColumns, kTransferColumnCount);
                    }
                }
            }
            flush("transfer_records", kTransferColumns, kTransferColumnCount);
            Execute("COMMIT");
        } catch (...) {
            if (PQstatus(connection_) == CONNECTION_OK) {
                Result(PQexec(connection_, "ROLLBACK"), &PQclear);
            }
            throw;
        }
    }

    std::uint64_t Prune(std::int64_t cutoffMs) override {
        Reconnect();
        Execute("BEGIN");
        std::uint64_t deleted = 0;
        try {
            const std::string cutoff = std::to_string(cutoffMs);
            const char* values[] = {cutoff.c_str()};
            for (const char* table : {"event_records", "transfer_records"}) {
                const std::string sql = std::string("DELETE FROM ") + table + " WHERE received_ms < $1";
                Result result(PQexecParams(connection_, sql.c_str(), 1, nullptr, values, nullptr, nullptr, 0),
                              &PQclear);
                Check(result.get(), PGRES_COMMAND_OK);
                deleted += std::strtoull(PQcmdTuples(result.get()), nullptr, 10);
            }
            Execute("COMMIT");
        } catch (...) {
            if (PQstatus(connection_) == CONNECTION_OK) {
                Result(PQexec(connection_, "ROLLBACK"), &PQclear);
            }
            throw;
        }
        return deleted;
    }

    std::string Describe() const override {
        return std::string("postgresql ") + PQhost(connection_) + ":" + PQport(connection_) + "/" +
               PQdb(connection_);
    }

private:
    static std::string Trimmed(std::string text) {
        while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
            text.pop_back();
        }
        return text;
    }

    void Prepare() {
        // A 2xx answer promises the records are on disk: never let a server
        // default of asynchronous commit weaken that.
        Execute("SET synchronous_commit TO on");
        // "relation already exists, skipping" on every start is no news.
        Execute("SET client_min_messages TO warning");
        Execute("BEGIN");
        Execute(("SELECT pg_advisory_xact_lock(" + std::to_string(kSchemaLockKey) + ")").c_str(),
                PGRES_TUPLES_OK);
        Execute(PostgresSchema().c_str());
        Execute("COMMIT");
    }

    // After the server went away, the next batch tries once to connect anew;
    // the batch fails (and its posts are answered 503) if that fails too.
    void Reconnect() {
        if (PQstatus(connection_) == CONNECTION_OK) {
            return;
        }
        PQreset(connection_);
        if (PQstatus(connection_) != CONNECTION_OK) {
            throw StoreError("postgresql: connection lost: " + Trimmed(PQerrorMessage(connection_)));
        }
        Prepare();
    }

    void Check(PGresult* result, ExecStatusType expected) {
        if (PQresultStatus(result) == expected) {
            return;
        }
        // SQLSTATE classes 22 (data exception: an encoding the server refuses,
        // a value out of range) and 23 (integrity) name one row, not the server.
        const char* state = result != nullptr ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
        const bool rowRefused = state != nullptr && (std::string(state, 2) == "22" || std::string(state, 2) == "23") &&
                                PQstatus(connection_) == CONNECTION_OK;
        throw StoreError("postgresql: " + Trimmed(result != nullptr ? PQresultErrorMessage(result)
                                                                    : PQerrorMessage(connection_)),
                         rowRefused);
    }

    void Execute(const char* sql, ExecStatusType expected = PGRES_COMMAND_OK) {
        Result result(PQexec(connection_, sql), &PQclear);
        Check(result.get(), expected);
    }

    void Insert(const char* table, const char* columns, int columnCount, std::size_t rows,
                const Parameters& parameters) {
        std::string sql = std::string("INSERT INTO ") + table + " (" + columns + ") VALUES ";
        int number = 1;
        for (std::size_t row = 0; row < rows; ++row) {
            sql += row == 0 ? "(" : ",(";
            for (int column = 0; column < columnCount; ++column) {
                sql += (column == 0 ? "$" : ",$") + std::to_string(number++);
            }
            sql += ")";
        }
        const std::vector<const char*> values = parameters.Pointers();
        Result result(PQexecParams(connection_, sql.c_str(), static_cast<int>(values.size()), nullptr,
                                   values.data(), nullptr, nullptr, 0),
                      &PQclear);
        Check(result.get(), PGRES_COMMAND_OK);
    }

    static void AddEvent(const AcceptedPost& post, const EventRecord& record, Parameters& p) {
        p.Int(post.receivedMs);
        p.Text(post.postId);
        p.Int(record.element);
        p.Text(record.pid);
        p.Text(record.pkgid);
        p.Text(record.vid);
        p.Text(record.metric);
        p.Int(record.count);
        p.Text(record.error);
        p.Text(record.node);
        if (record.figures) {
            const NodeFigures& f = *record.figures;
            p.Int(f.bytes);
            p.Int(f.successBytes);
            p.Real(f.firstByteTime);
            p.Real(f.requestTime);
            p.Real(f.successTime);
            p.Int(f.numRequests);
            p.Int(f.numErrors);
            p.Int(f.numConnectFailures);
            p.Int(f.numHttpServerErrors);
            p.Int(f.numConnectionsReset);
            p.Int(f.numDataMismatches);
            p.Int(f.numRequestTimeouts);
        } else {
            for (int i = 0; i < 12; ++i) {
                p.Null();
            }
        }
    }

    static void AddTransfer(const AcceptedPost& post, const TransferRecord& record, Parameters& p) {
        p.Int(post.receivedMs);
        p.Text(post.postId);
        p.Text(record.pid);
        p.Text(record.pkgid);
        p.Text(record.vid);
        p.Text(record.tid);
        p.Text(record.status);
        p.Int(record.transferBytes);
        p.Real(record.duration);
    }

    PGconn* connection_;
};

}  // namespace

std::unique_ptr<AnalyticsStore> OpenPostgresStore(const std::string& conninfo) {
    return std::make_unique<PostgresAnalyticsStore>(conninfo);
}

}  // namespace tvl::analytics
