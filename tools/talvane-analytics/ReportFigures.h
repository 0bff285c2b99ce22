#pragma once

// The figures of one report, read from the collector's database by plain SQL
// that SQLite and PostgreSQL both run. What is measured, and how:
// - per hour (UTC, by the collector's receipt time): transfers started
//   (numStarts), completed (numCompletes) and failed (numFatalErrors);
// - errors by transfer error code (the number after "error|"), retryable and
//   fatal apart, with the text the updater shows for that code;
// - per download node: bytes served and the node figures the engine reports;
//   throughput is success bytes over success time, so the time a node spends
//   failing shows in its error rate (errors over requests) and not twice;
// - time to complete: from a transfer's first transfers record to its
//   "completed" one, both by receipt time (see CompletionFigures);
// - per package version: started, completed, failed and bytes downloaded.
// Plain values; ComputeReportFigures is the only code that touches the database.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tvl::analytics {

class ReportDatabase;

inline constexpr std::int64_t kHourMs = 3600 * 1000;
// The longest period a report covers hour by hour: ten years.
inline constexpr std::int64_t kMaxReportHours = 24 * 366 * 10;

struct HourFigures {
    std::int64_t startMs = 0;  // the hour's first millisecond, UTC
    std::int64_t started = 0;
    std::int64_t completed = 0;
    std::int64_t failed = 0;
};

struct ErrorCodeFigures {
    // No value when the error text does not start with "error|" and a number.
    std::optional<int> code;
    std::string name;     // "ConnectionError", or "unknown"
    std::string message;  // what the updater tells the user for this code
    std::int64_t retryable = 0;
    std::int64_t fatal = 0;
};

struct ErrorTextFigures {
    std::string text;
    std::int64_t count = 0;
};

struct NodeFigures {
    std::string node;
    std::int64_t bytes = 0;
    std::int64_t successBytes = 0;
    double firstByteTime = 0;  // seconds, summed over requests
    double requestTime = 0;
    double successTime = 0;
    std::int64_t requests = 0;
    std::int64_t errors = 0;
    std::int64_t connectFailures = 0;
    std::int64_t httpServerErrors = 0;
    std::int64_t connectionsReset = 0;
    std::int64_t dataMismatches = 0;
    std::int64_t requestTimeouts = 0;

    // Bytes per second of the requests that succeeded; 0 without such time.
    double Throughput() const;
    // Errors over requests, 0 to 1; 0 without requests.
    double ErrorRate() const;
    // Seconds to the first byte, mean over all requests.
    double MeanFirstByteTime() const;
};

struct HistogramBin {
    double fromSeconds = 0;
    double toSeconds = 0;  // infinity for the last bin
    std::int64_t count = 0;
};

// Wall-clock time from a transfer's first transfers record (its start) to its
// "completed" record, both stamped by the collector. One clock for both ends,
// and no reliance on the client: the documents' own "duration" only advances
// while a program polls the transfer and reads 0 for short transfers. The
// price is that time spent suspended counts too, so the median says more than
// the mean. Every transfer completed in the period counts, however long ago
// it started, so that long transfers are not the ones a short period drops.
struct CompletionFigures {
    std::vector<double> seconds;               // ascending
    double Percentile(double fraction) const;  // nearest rank; 0 when empty
    double Mean() const;
    // Fixed human-sized bins (1 s, 2 s, 5 s, ... 1 day), trimmed to the
    // first and last that hold a transfer.
    std::vector<HistogramBin> Histogram() const;
};

struct VersionFigures {
    std::string pkgid;
    std::string vid;
    std::int64_t started = 0;
    std::int64_t completed = 0;
    std::int64_t failed = 0;
    std::int64_t bytes = 0;  // transferBytes summed over the transfers records
};

struct ReportFigures {
    std::string source;  // ReportDatabase::Describe
    std::optional<std::int64_t> sinceMs;
    std::int64_t generatedMs = 0;
    std::optional<std::int64_t> firstRecordMs;  // in the period; none when it is empty
    std::optional<std::int64_t> lastRecordMs;

    std::int64_t started = 0;
    std::int64_t completed = 0;
    std::int64_t failed = 0;
    std::int64_t bytes = 0;

    std::vector<HourFigures> hours;            // every hour of the period, empty ones too
    std::vector<ErrorCodeFigures> errors;      // by code, unknown last
    std::vector<ErrorTextFigures> errorTexts;  // the ten most frequent, most frequent first
    std::vector<NodeFigures> nodes;            // by name
    CompletionFigures completion;
    std::vector<VersionFigures> versions;  // by package, then version

    bool Empty() const { return !firstRecordMs.has_value(); }
};

// Reads every figure of the records received at or after `sinceMs` (all
// records without it). `generatedMs` is "now": when a start is given, the
// hours run up to it, so quiet hours at the end show as such. Throws
// ReportDatabaseError, with a hint when the tables are not the collector's,
// and when the records span more than kMaxReportHours.
ReportFigures ComputeReportFigures(ReportDatabase& database, std::optional<std::int64_t> sinceMs,
                                   std::int64_t generatedMs);

// The code of an error text "error|<code>|..."; none for any other text.
std::optional<int> ErrorCodeOf(const std::string& errorText);

}  // namespace tvl::analytics
