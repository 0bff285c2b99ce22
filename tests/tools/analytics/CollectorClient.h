#pragma once

// What the collector's tests need around it: a keep-alive HTTP client that
// posts one body and reads the answer, and row counts of an SQLite database.

#include <cstdint>
#include <memory>
#include <string>

namespace tvl::test {

struct PostAnswer {
    unsigned status = 0;  // 0 when the connection failed or was closed without an answer
    std::string body;
    bool keepAlive = false;
};

// One connection to `url` ("http://host:port[/path]"), reused for every post
// while the server keeps it open. Not thread-safe.
class CollectorClient {
public:
    explicit CollectorClient(const std::string& url);
    ~CollectorClient();

    PostAnswer Post(const std::string& body, const std::string& contentType = "application/json",
                    const std::string& method = "POST", const std::string& path = "");

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

// SELECT count(*) ... of an SQLite file (a query returning one integer).
std::int64_t SqliteNumber(const std::string& path, const std::string& query);

}  // namespace tvl::test
