#pragma once

// The rows the collector stores: one per element of an accepted events post,
// one per accepted transfers post, as the tables in schema.sql hold them.
// Plain values; no threading concerns.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tvl::analytics {

// The figures of a node element, since that node's previous report. Times in seconds.
struct NodeFigures {
    std::int64_t bytes = 0;
    std::int64_t successBytes = 0;
    double firstByteTime = 0;
    double requestTime = 0;
    double successTime = 0;
    std::int64_t numRequests = 0;
    std::int64_t numErrors = 0;
    std::int64_t numConnectFailures = 0;
    std::int64_t numHttpServerErrors = 0;
    std::int64_t numConnectionsReset = 0;
    std::int64_t numDataMismatches = 0;
    std::int64_t numRequestTimeouts = 0;
};

struct EventRecord {
    int element = 0;
    std::string pid;
    std::string pkgid;
    std::string vid;
    // A counter or error element has a metric and its count; a node element has
    // the node and its figures instead.
    std::optional<std::string> metric;
    std::optional<std::int64_t> count;
    std::optional<std::string> error;
    std::optional<std::string> node;
    std::optional<NodeFigures> figures;
};

struct TransferRecord {
    std::string pid;
    std::string pkgid;
    std::string vid;
    std::string tid;
    std::string status;
    std::int64_t transferBytes = 0;
    double duration = 0;
};

// What one accepted post adds to the database. received and postId are the
// collector's; the records come from the body.
struct AcceptedPost {
    std::int64_t receivedMs = 0;
    std::string postId;
    std::vector<EventRecord> events;
    std::vector<TransferRecord> transfers;

    std::size_t RecordCount() const { return events.size() + transfers.size(); }
};

}  // namespace tvl::analytics
