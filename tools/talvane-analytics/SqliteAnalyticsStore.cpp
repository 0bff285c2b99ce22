// The SQLite store: one file in write-ahead-log mode, so that `report` and
// `prune` can read and write while a collector appends.

#include <sqlite3.h>

#include "tools/talvane-analytics/AnalyticsStore.h"
#include "tools/talvane-analytics/StoreColumns.h"

namespace tvl::analytics {
namespace {

std::string Placeholders(int count) {
    std::string out;
    for (int i = 1; i <= count; ++i) {
        out += (i == 1 ? "?" : ", ?") + std::to_string(i);
    }
    return out;
}

class Statement {
public:
    Statement(sqlite3* db, const std::string& sql) {
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement_, nullptr) != SQLITE_OK) {
            throw StoreError(std::string("sqlite: ") + sqlite3_errmsg(db));
        }
    }
    ~Statement() { sqlite3_finalize(statement_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    void Text(int index, const std::string& value) {
        sqlite3_bind_text(statement_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
    }
    void Text(int index, const std::optional<std::string>& value) {
        value ? Text(index, *value) : Null(index);
    }
    void Int(int index, std::int64_t value) { sqlite3_bind_int64(statement_, index, value); }
    void Real(int index, double value) { sqlite3_bind_double(statement_, index, value); }
    void Null(int index) { sqlite3_bind_null(statement_, index); }

    void Run(sqlite3* db) {
        const int result = sqlite3_step(statement_);
        sqlite3_reset(statement_);
        sqlite3_clear_bindings(statement_);
        if (result != SQLITE_DONE) {
            const int code = sqlite3_extended_errcode(db) & 0xff;
            throw StoreError(std::string("sqlite: ") + sqlite3_errmsg(db),
                             code == SQLITE_CONSTRAINT || code == SQLITE_TOOBIG || code == SQLITE_MISMATCH);
        }
    }

private:
    sqlite3_stmt* statement_ = nullptr;
};

class SqliteAnalyticsStore : public AnalyticsStore {
public:
    SqliteAnalyticsStore(const std::string& path, SqliteSync sync) : path_(path) {
        if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                            nullptr) != SQLITE_OK) {
            const std::string message = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
            sqlite3_close(db_);
            throw StoreError("sqlite: cannot open " + path + ": " + message);
        }
        try {
            // A reader (report, prune) or a second collector briefly holding the
            // write lock makes a commit wait rather than fail.
            sqlite3_busy_timeout(db_, 10000);
            Execute("PRAGMA journal_mode=WAL");
            Execute(sync == SqliteSync::Full ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=NORMAL");
            Execute(SchemaText());
            insertEvent_ = std::make_unique<Statement>(db_, std::string("INSERT INTO event_records (") +
                                                                kEventColumns + ") VALUES (" +
                                                                Placeholders(kEventColumnCount) + ")");
            insertTransfer_ = std::make_unique<Statement>(db_, std::string("INSERT INTO transfer_records (") +
                                                                   kTransferColumns + ") VALUES (" +
                                                                   Placeholders(kTransferColumnCount) + ")");
        } catch (...) {
            insertEvent_.reset();
            insertTransfer_.reset();
            sqlite3_close(db_);
            throw;
        }
    }

    ~SqliteAnalyticsStore() override {
        insertEvent_.reset();
        insertTransfer_.reset();
        sqlite3_close(db_);
    }

    void Append(const std::vector<const AcceptedPost*>& posts) override {
        Execute("BEGIN IMMEDIATE");
        try {
            for (const AcceptedPost* post : posts) {
                for (const EventRecord& record : post->events) {
                    InsertEvent(*post, record);
                }
                for (const TransferRecord& record : post->transfers) {
                    InsertTransfer(*post, record);
                }
            }
            Execute("COMMIT");
        } catch (...) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
    }

    std::uint64_t Prune(std::int64_t cutoffMs) override {
        std::uint64_t deleted = 0;
        Execute("BEGIN IMMEDIATE");
        try {
            for (const char* table : {"event_records", "transfer_records"}) {
                Statement remove(db_, std::string("DELETE FROM ") + table + " WHERE received_ms < ?1");
                remove.Int(1, cutoffMs);
                remove.Run(db_);
                deleted += static_cast<std::uint64_t>(sqlite3_changes(db_));
            }
            Execute("COMMIT");
        } catch (...) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
        return deleted;
    }

    std::string Describe() const override { return "sqlite " + path_; }

private:
    void Execute(const char* sql) {
        char* message = nullptr;
        if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
            const std::string text = message != nullptr ? message : sqlite3_errmsg(db_);
            sqlite3_free(message);
            throw StoreError("sqlite: " + text);
        }
    }

    void InsertEvent(const AcceptedPost& post, const EventRecord& record) {
        Statement& s = *insertEvent_;
        s.Int(1, post.receivedMs);
        s.Text(2, post.postId);
        s.Int(3, record.element);
        s.Text(4, record.pid);
        s.Text(5, record.pkgid);
        s.Text(6, record.vid);
        s.Text(7, record.metric);
        record.count ? s.Int(8, *record.count) : s.Null(8);
        s.Text(9, record.error);
        s.Text(10, record.node);
        if (record.figures) {
            const NodeFigures& f = *record.figures;
            s.Int(11, f.bytes);
            s.Int(12, f.successBytes);
            s.Real(13, f.firstByteTime);
            s.Real(14, f.requestTime);
            s.Real(15, f.successTime);
            s.Int(16, f.numRequests);
            s.Int(17, f.numErrors);
            s.Int(18, f.numConnectFailures);
            s.Int(19, f.numHttpServerErrors);
            s.Int(20, f.numConnectionsReset);
            s.Int(21, f.numDataMismatches);
            s.Int(22, f.numRequestTimeouts);
        }
        s.Run(db_);
    }

    void InsertTransfer(const AcceptedPost& post, const TransferRecord& record) {
        Statement& s = *insertTransfer_;
        s.Int(1, post.receivedMs);
        s.Text(2, post.postId);
        s.Text(3, record.pid);
        s.Text(4, record.pkgid);
        s.Text(5, record.vid);
        s.Text(6, record.tid);
        s.Text(7, record.status);
        s.Int(8, record.transferBytes);
        s.Real(9, record.duration);
        s.Run(db_);
    }

    std::string path_;
    sqlite3* db_ = nullptr;
    std::unique_ptr<Statement> insertEvent_;
    std::unique_ptr<Statement> insertTransfer_;
};

}  // namespace

std::unique_ptr<AnalyticsStore> OpenSqliteStore(const std::string& path, SqliteSync sync) {
    return std::make_unique<SqliteAnalyticsStore>(path, sync);
}

}  // namespace tvl::analytics
