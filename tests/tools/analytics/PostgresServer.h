#pragma once

// A PostgreSQL server of the test's own, from the Debian package: a new
// cluster in a temporary folder, listening only on a Unix socket in that
// folder, stopped and removed with the object. PostgreSQL refuses to run as
// root, so under root the cluster belongs to the package's "postgres" user.

#include <sys/types.h>

#include <string>

namespace tvl::test {

class PostgresServer {
public:
    // Why a server cannot be started here (no binaries, root without a
    // postgres user); empty when it can.
    static std::string Unavailable();

    // Throws std::runtime_error when the server does not come up within 30 s.
    PostgresServer();
    ~PostgresServer();
    PostgresServer(const PostgresServer&) = delete;
    PostgresServer& operator=(const PostgresServer&) = delete;

    // libpq connection string of the cluster's "postgres" database.
    std::string ConnectionString() const;

private:
    std::string folder_;
    pid_t pid_ = -1;
};

}  // namespace tvl::test
