#pragma once

// Reads the body of one analytics post into the rows it adds, or says why the
// collector refuses it. Only the forms the engine writes are accepted:
//   events:    a counter object, or an array of an optional counter or error
//              object followed by node objects (possibly none at all);
//   transfers: one transfer object.
// Every figure is a decimal string as the engine writes it, or a JSON number;
// either way finite and not negative, whole where the column is. Keys are the
// engine's, each once, none missing, none unknown. Pure function; any thread.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "tools/talvane-analytics/AnalyticsRecords.h"

namespace tvl::analytics {

enum class DocumentKind { Events, Transfers };

// A node element is about 400 bytes with the engine's figures and short ids
// and under 800 with every figure at its widest; 1 MiB therefore carries the
// figures of well over a thousand nodes, more than any node list a publisher
// would run, while bounding what one request may make the collector hold.
inline constexpr std::size_t kMaxBodyBytes = 1u << 20;
// The engine's documents nest three deep (array, element, metrics). The bound
// keeps the recursive parser's stack small whatever a client sends.
inline constexpr int kMaxNestingDepth = 8;
inline constexpr std::size_t kMaxIdBytes = 256;      // pid, pkgid, vid, tid
inline constexpr std::size_t kMaxNodeBytes = 1024;   // dimensions.cdn, a host
inline constexpr std::size_t kMaxErrorBytes = 16384; // dimensions.error; a checksum summary lists failed nodes

struct DocumentRefusal {
    unsigned status;     // 400 or 413
    std::string reason;  // one short line for the client and the log
};

struct DocumentReading {
    std::optional<DocumentRefusal> refusal;
    std::vector<EventRecord> events;        // in post order, element numbers from 0
    std::vector<TransferRecord> transfers;  // one for an accepted transfers post
};

DocumentReading ReadDocument(DocumentKind kind, std::string_view body);

}  // namespace tvl::analytics
