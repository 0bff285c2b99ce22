#pragma once

// Where the collector keeps accepted posts: an SQLite file or a PostgreSQL
// database, both with the tables of schema.sql, created when missing. A store
// is one connection and is used by one thread at a time; several stores
// (several collectors) may share one PostgreSQL database.

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/talvane-analytics/AnalyticsRecords.h"

namespace tvl::analytics {

// A transaction that did not commit. postRefused: the database turned down
// one of the rows (a value it cannot hold) and is otherwise fine, so the
// posts of the batch may be tried again one by one; otherwise the database
// could not be reached or written, and trying again at once would not help.
class StoreError : public std::runtime_error {
public:
    explicit StoreError(const std::string& message, bool postRefused = false)
        : std::runtime_error(message), postRefused_(postRefused) {}
    bool PostRefused() const { return postRefused_; }

private:
    bool postRefused_;
};

// The tables' DDL as SQLite takes it; PostgreSQL reads the id columns as BIGSERIAL.
const char* SchemaText();

class AnalyticsStore {
public:
    virtual ~AnalyticsStore() = default;

    // Every record of every post in one transaction: when this returns, all
    // are committed; when it throws StoreError, none is.
    virtual void Append(const std::vector<const AcceptedPost*>& posts) = 0;

    // Deletes the records received before `cutoffMs`; returns how many.
    virtual std::uint64_t Prune(std::int64_t cutoffMs) = 0;

    // "sqlite PATH" or "postgresql" with the server's address, for the log.
    virtual std::string Describe() const = 0;
};

// How an SQLite commit reaches the disk. Full: the write-ahead log is synced
// at every commit, so a committed batch survives a power loss as well as a
// killed process. Normal: it is written to the operating system at every
// commit and synced only at checkpoints, so a killed collector loses nothing
// it committed (the kernel still has the pages) but a power loss or kernel
// crash may take the last commits back.
enum class SqliteSync { Full, Normal };

// Throws StoreError when the file cannot be opened or the tables made.
std::unique_ptr<AnalyticsStore> OpenSqliteStore(const std::string& path, SqliteSync sync = SqliteSync::Full);

// `conninfo` is a libpq connection string ("host=/tmp port=5432 dbname=x" or
// a postgresql:// URI). Throws StoreError when it cannot connect.
std::unique_ptr<AnalyticsStore> OpenPostgresStore(const std::string& conninfo);

}  // namespace tvl::analytics
