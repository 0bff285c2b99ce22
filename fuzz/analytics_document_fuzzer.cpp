// The collector's document reader on arbitrary bodies, as events and as
// transfers (the first byte chooses). It must answer every body without a
// crash or a leak, refuse with 400 or 413 and a reason and nothing read, or
// accept with records whose figures are finite and not negative, whose text
// is within its bounds, and whose shape is one the engine writes.
#include <cmath>
#include <cstdint>
#include <string_view>

#include "tools/talvane-analytics/AnalyticsDocument.h"

namespace {

using namespace tvl::analytics;

[[noreturn]] void Fail() { __builtin_trap(); }

void Check(bool condition) {
    if (!condition) {
        Fail();
    }
}

void CheckFigures(const NodeFigures& f) {
    for (std::int64_t whole : {f.bytes, f.successBytes, f.numRequests, f.numErrors, f.numConnectFailures,
                               f.numHttpServerErrors, f.numConnectionsReset, f.numDataMismatches,
                               f.numRequestTimeouts}) {
        Check(whole >= 0);
    }
    for (double real : {f.firstByteTime, f.requestTime, f.successTime}) {
        Check(std::isfinite(real) && real >= 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const DocumentKind kind = (data[0] & 1) != 0 ? DocumentKind::Transfers : DocumentKind::Events;
    const std::string_view body(reinterpret_cast<const char*>(data + 1), size - 1);
    const DocumentReading reading = ReadDocument(kind, body);
    if (reading.refusal) {
        Check(reading.refusal->status == 400 || reading.refusal->status == 413);
        Check(!reading.refusal->reason.empty());
        Check(reading.events.empty() && reading.transfers.empty());
        return 0;
    }
    if (kind == DocumentKind::Transfers) {
        Check(reading.events.empty() && reading.transfers.size() == 1);
        const TransferRecord& t = reading.transfers[0];
        Check(t.transferBytes >= 0 && std::isfinite(t.duration) && t.duration >= 0);
        Check(t.tid.size() <= kMaxIdBytes && t.pid.size() <= kMaxIdBytes);
        Check(t.status == "active" || t.status == "suspended" || t.status == "completed" || t.status == "canceled");
        return 0;
    }
    Check(reading.transfers.empty());
    for (std::size_t i = 0; i < reading.events.size(); ++i) {
        const EventRecord& e = reading.events[i];
        Check(e.element == static_cast<int>(i));
        Check(e.pid.size() <= kMaxIdBytes && e.pkgid.size() <= kMaxIdBytes && e.vid.size() <= kMaxIdBytes);
        if (e.metric) {
            // Only the first element may be the counter, and it has no figures.
            Check(i == 0 && e.count && *e.count >= 0 && !e.node && !e.figures);
            Check(!e.error || e.error->size() <= kMaxErrorBytes);
        } else {
            Check(e.node && e.node->size() <= kMaxNodeBytes && e.figures && !e.error && !e.count);
            CheckFigures(*e.figures);
        }
    }
    return 0;
}
