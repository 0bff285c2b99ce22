#pragma once

// The collector's HTTP/1.1 side: accepts the engine's analytics posts, reads
// each body with ReadDocument, hands accepted posts to the GroupCommitter and
// answers once they are committed (204), or at once with 4xx and the reason.
// The engine posts to its configured URLs as they are, without a path, so a
// listener for one kind takes POST / (and /events or /transfers); one
// listener for both kinds tells them apart by /events and /transfers.
// Construction starts the threads; the public operations may be called from
// any thread. The committer must outlive the server's threads: call Close,
// then stop the committer, then destroy the server.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace tvl::analytics {

class GroupCommitter;

struct ListenAddress {
    std::string host = "127.0.0.1";
    std::uint16_t port = 0;  // 0: an ephemeral port
};

// "HOST:PORT", "[v6]:PORT" or ":PORT"; nullopt when it is none of these.
std::optional<ListenAddress> ParseListenAddress(const std::string& text);

struct CollectorOptions {
    // Either events and transfers (the same address twice counts as one
    // listener for both), or both alone.
    std::optional<ListenAddress> events;
    std::optional<ListenAddress> transfers;
    std::optional<ListenAddress> both;
    unsigned threads = 2;
    // A connection that sends nothing for this long is closed.
    std::chrono::seconds idleTimeout{60};
    // Connections served at once. At the limit the collector stops accepting
    // until one ends: further clients wait in the listen queue rather than
    // cost a session and its buffers each.
    std::size_t maxConnections = 1024;
};

class CollectorServer {
public:
    // Throws std::runtime_error when an address cannot be listened on.
    CollectorServer(const CollectorOptions& options, GroupCommitter& committer);
    ~CollectorServer();
    CollectorServer(const CollectorServer&) = delete;
    CollectorServer& operator=(const CollectorServer&) = delete;

    // The URLs to give the engine as analyticsEventsUrl and analyticsTransfersUrl.
    std::string EventsUrl() const;
    std::string TransfersUrl() const;

    // Stops accepting connections and waits, at most `grace`, until every
    // request already read has been answered; idle connections are closed.
    void Close(std::chrono::milliseconds grace);

    std::uint64_t AcceptedPosts() const;
    std::uint64_t RefusedPosts() const;

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tvl::analytics
