#include "tools/talvane-analytics/ReportFigures.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <map>
#include <numeric>
#include <tuple>

#include "app/TalvaneUpdaterMessages.h"
#include "tools/talvane-analytics/ReportDatabase.h"

namespace tvl::analytics {
namespace {

// Each query is written once and runs unchanged on SQLite and PostgreSQL:
// no engine-specific functions (substr and CASE are common to both), integer
// division for the hour, $1 for the start of the period.

constexpr char kSchemaCheckEvents[] =
    "SELECT received_ms, pid, pkgid, vid, metric, count, error, node, bytes, success_bytes, first_byte_time, "
    "request_time, success_time, num_requests, num_errors, num_connect_failures, num_http_server_errors, "
    "num_connections_reset, num_data_mismatches, num_request_timeouts FROM event_records WHERE 1 = 0";

constexpr char kSchemaCheckTransfers[] =
    "SELECT received_ms, pid, pkgid, vid, tid, status, transfer_bytes, duration FROM transfer_records WHERE "
    "1 = 0";

constexpr char kRecordSpan[] =
    "SELECT MIN(received_ms), MAX(received_ms) FROM event_records WHERE received_ms >= $1 "
    "UNION ALL "
    "SELECT MIN(received_ms), MAX(received_ms) FROM transfer_records WHERE received_ms >= $1";

constexpr char kCountersPerHour[] =
    "SELECT received_ms / 3600000, metric, SUM(count) FROM event_records "
    "WHERE received_ms >= $1 AND metric IN ('numStarts', 'numCompletes', 'numFatalErrors') "
    "GROUP BY received_ms / 3600000, metric";

// Grouping by the first ten characters instead of the whole text: the details
// after the code (offsets, addresses) make nearly every text unique, and ten
// characters hold "error|" and any one-byte code with its closing bar.
constexpr char kErrorsByCodePrefix[] =
    "SELECT substr(error, 1, 10), metric, SUM(count) FROM event_records "
    "WHERE received_ms >= $1 AND metric IN ('numRetryableErrors', 'numFatalErrors') "
    "GROUP BY substr(error, 1, 10), metric";

constexpr char kMostFrequentErrors[] =
    "SELECT error, SUM(count) AS total FROM event_records "
    "WHERE received_ms >= $1 AND metric IN ('numRetryableErrors', 'numFatalErrors') AND error IS NOT NULL "
    "GROUP BY error ORDER BY total DESC, error LIMIT 10";

constexpr char kNodes[] =
    "SELECT node, SUM(bytes), SUM(success_bytes), SUM(first_byte_time), SUM(request_time), "
    "SUM(success_time), "
    "SUM(num_requests), SUM(num_errors), SUM(num_connect_failures), SUM(num_http_server_errors), "
    "SUM(num_connections_reset), SUM(num_data_mismatches), SUM(num_request_timeouts) FROM event_records "
    "WHERE received_ms >= $1 AND node IS NOT NULL GROUP BY node";

constexpr char kTimesToComplete[] =
    "SELECT MIN(CASE WHEN status = 'completed' THEN received_ms END) - MIN(received_ms) FROM "
    "transfer_records "
    "WHERE tid IN (SELECT tid FROM transfer_records WHERE status = 'completed' AND received_ms >= $1) "
    "GROUP BY tid";

constexpr char kCountersPerVersion[] =
    "SELECT pkgid, vid, metric, SUM(count) FROM event_records "
    "WHERE received_ms >= $1 AND metric IN ('numStarts', 'numCompletes', 'numFatalErrors') "
    "GROUP BY pkgid, vid, metric";

constexpr char kBytesPerVersion[] =
    "SELECT pkgid, vid, SUM(transfer_bytes) FROM transfer_records WHERE received_ms >= $1 GROUP BY pkgid, "
    "vid";

// 10000-01-01 00:00 UTC.
constexpr std::int64_t kLatestMs = 253402300800000;

// The names of TransferError, by value.
constexpr const char* kErrorNames[] = {
    "None",         "ContentError",    "ConnectionError",   "OutOfMemory",
    "DiskFull",     "FileAccessError", "VerificationError", "FileWriteError",
    "RequestError", "InternalError",   "Geofenced",         "AuthenticityError",
};

// Sums come back as integers, or as decimals where a database widened them
// (PostgreSQL's numeric, SQLite's real after mixed values); NULL is 0.
std::int64_t Integer(const ReportDatabase::Value& value) {
    if (!value) {
        return 0;
    }
    const std::string& text = *value;
    std::int64_t number = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error == std::errc() && end == text.data() + text.size()) {
        return number;
    }
    char* stop = nullptr;
    const double decimal = std::strtod(text.c_str(), &stop);
    if (text.empty() || *stop != '\0' || !std::isfinite(decimal) ||
        std::fabs(decimal) >= static_cast<double>(std::numeric_limits<std::int64_t>::max())) {
        throw ReportDatabaseError("the database holds '" + text + "' where a number belongs");
    }
    return std::llround(decimal);
}

double Decimal(const ReportDatabase::Value& value) {
    if (!value) {
        return 0;
    }
    char* stop = nullptr;
    const double decimal = std::strtod(value->c_str(), &stop);
    if (value->empty() || *stop != '\0' || !std::isfinite(decimal)) {
        throw ReportDatabaseError("the database holds '" + *value + "' where a number belongs");
    }
    return decimal;
}

std::string Text(const ReportDatabase::Value& value) {
    return value.value_or(std::string());
}

std::int64_t FloorToHour(std::int64_t ms) {
    const std::int64_t hour = ms / kHourMs;
    return (ms % kHourMs < 0 ? hour - 1 : hour) * kHourMs;
}

void CheckSchema(ReportDatabase& database) {
    try {
        database.Query(kSchemaCheckEvents, {});
        database.Query(kSchemaCheckTransfers, {});
    } catch (const ReportDatabaseError& e) {
        throw ReportDatabaseError(database.Describe() + " is not a talvane-analytics database (" + e.what() +
                                  ")");
    }
}

void ReadSpan(ReportDatabase& database, std::int64_t since, ReportFigures& figures) {
    for (const auto& row : database.Query(kRecordSpan, {since})) {
        if (row.at(0)) {
            const std::int64_t first = Integer(row[0]);
            const std::int64_t last = Integer(row.at(1));
            // The collector stamps its clock; anything outside 1970 to 9999
            // was written by something else, and would overflow the hours.
            for (const std::int64_t ms : {first, last}) {
                if (ms < 0 || ms >= kLatestMs) {
                    throw ReportDatabaseError("received_ms " + std::to_string(ms) +
                                              " is not a time the collector writes (ms since 1970 UTC)");
                }
            }
            figures.firstRecordMs = figures.firstRecordMs ? std::min(*figures.firstRecordMs, first) : first;
            figures.lastRecordMs = figures.lastRecordMs ? std::max(*figures.lastRecordMs, last) : last;
        }
    }
}

void ReadHours(ReportDatabase& database, std::int64_t since, ReportFigures& figures) {
    if (figures.Empty()) {
        return;
    }
    // Quiet hours before the first record are not shown: a start far in the
    // past would otherwise fill the chart with nothing.
    const std::int64_t first = FloorToHour(std::max(since, *figures.firstRecordMs));
    const std::int64_t last = FloorToHour(
        figures.sinceMs ? std::max(figures.generatedMs, *figures.lastRecordMs) : *figures.lastRecordMs);
    if (last / kHourMs - first / kHourMs >= kMaxReportHours) {
        throw ReportDatabaseError("the records span more than ten years (received_ms from " +
                                  std::to_string(*figures.firstRecordMs) + " to " +
                                  std::to_string(*figures.lastRecordMs) +
                                  "); give a start with --since or --hours");
    }
    for (std::int64_t hour = first; hour <= last; hour += kHourMs) {
        figures.hours.push_back(HourFigures{hour, 0, 0, 0});
    }
    for (const auto& row : database.Query(kCountersPerHour, {since})) {
        const std::int64_t hour = Integer(row.at(0)) * kHourMs;
        if (hour < first || hour > last) {
            continue;
        }
        HourFigures& figure = figures.hours.at(static_cast<std::size_t>((hour - first) / kHourMs));
        const std::string metric = Text(row.at(1));
        const std::int64_t count = Integer(row.at(2));
        if (metric == "numStarts") {
            figure.started += count;
        } else if (metric == "numCompletes") {
            figure.completed += count;
        } else {
            figure.failed += count;
        }
    }
}

void ReadErrors(ReportDatabase& database, std::int64_t since, ReportFigures& figures) {
    // An absent code sorts after every code.
    const auto order = [](const std::optional<int>& a, const std::optional<int>& b) {
        return std::make_tuple(!a.has_value(), a.value_or(0)) <
               std::make_tuple(!b.has_value(), b.value_or(0));
    };
    std::map<std::optional<int>, ErrorCodeFigures, decltype(order)> byCode(order);
    for (const auto& row : database.Query(kErrorsByCodePrefix, {since})) {
        const std::optional<int> code = ErrorCodeOf(Text(row.at(0)));
        ErrorCodeFigures& figure = byCode[code];
        (Text(row.at(1)) == "numFatalErrors" ? figure.fatal : figure.retryable) += Integer(row.at(2));
    }
    const TalvaneUpdaterMessages messages;
    for (auto& [code, figure] : byCode) {
        figure.code = code;
        if (!code) {
            figure.name = "unknown";
        } else {
            const auto value = static_cast<std::size_t>(*code);
            figure.name =
                value < std::size(kErrorNames) ? kErrorNames[value] : "code " + std::to_string(*code);
            figure.message = messages.GetErrorMessage(static_cast<TransferError>(*code));
        }
        figures.errors.push_back(std::move(figure));
    }
    for (const auto& row : database.Query(kMostFrequentErrors, {since})) {
        figures.errorTexts.push_back(ErrorTextFigures{Text(row.at(0)), Integer(row.at(1))});
    }
    // Equal counts come in the database's collation; byte order is the same everywhere.
    std::stable_sort(figures.errorTexts.begin(), figures.errorTexts.end(),
                     [](const ErrorTextFigures& a, const ErrorTextFigures& b) {
                         return a.count != b.count ? a.count > b.count : a.text < b.text;
                     });
}

void ReadNodes(ReportDatabase& database, std::int64_t since, ReportFigures& figures) {
    for (const auto& row : database.Query(kNodes, {since})) {
        NodeFigures node;
        node.node = Text(row.at(0));
        node.bytes = Integer(row.at(1));
        node.successBytes = Integer(row.at(2));
        node.firstByteTime = Decimal(row.at(3));
        node.requestTime = Decimal(row.at(4));
        node.successTime = Decimal(row.at(5));
        node.requests = Integer(row.at(6));
        node.errors = Integer(row.at(7));
        node.connectFailures = Integer(row.at(8));
        node.httpServerErrors = Integer(row.at(9));
        node.connectionsReset = Integer(row.at(10));
        node.dataMismatches = Integer(row.at(11));
        node.requestTimeouts = Integer(row.at(12));
        figures.nodes.push_back(std::move(node));
    }
    // The databases sort text by different collations; the report's order
    // should not depend on which one it read.
    std::sort(figures.nodes.begin(), figures.nodes.end(),
              [](const NodeFigures& a, const NodeFigures& b) { return a.node < b.node; });
}

void ReadCompletion(ReportDatabase& database, std::int64_t since, ReportFigures& figures) {
    for (const auto& row : database.Query(kTimesToComplete, {since})) {
        if (row.at(0)) {
            figures.completion.seconds.push_back(static_cast<double>(Integer(row[0])) / 1000.0);
        }
    }
    std::sort(figures.completion.seconds.begin(), figures.completion.seconds.end());
}

void ReadVersions(ReportDatabase& database, std::int64_t since, ReportFigures& figures) {
    std::map<std::pair<std::string, std::string>, VersionFigures> byVersion;
    for (const auto& row : database.Query(kCountersPerVersion, {since})) {
        VersionFigures& figure = byVersion[{Text(row.at(0)), Text(row.at(1))}];
        const std::string metric = Text(row.at(2));
        const std::int64_t count = Integer(row.at(3));
        (metric == "numStarts"      ? figure.started
         : metric == "numCompletes" ? figure.completed
                                    : figure.failed) += count;
    }
    for (const auto& row : database.Query(kBytesPerVersion, {since})) {
        byVersion[{Text(row.at(0)), Text(row.at(1))}].bytes += Integer(row.at(2));
    }
    for (auto& [key, figure] : byVersion) {
        figure.pkgid = key.first;
        figure.vid = key.second;
        figures.started += figure.started;
        figures.completed += figure.completed;
        figures.failed += figure.failed;
        figures.bytes += figure.bytes;
        figures.versions.push_back(std::move(figure));
    }
}

}  // namespace

double NodeFigures::Throughput() const {
    return successTime > 0 ? static_cast<double>(successBytes) / successTime : 0;
}

double NodeFigures::ErrorRate() const {
    return requests > 0 ? static_cast<double>(errors) / static_cast<double>(requests) : 0;
}

double NodeFigures::MeanFirstByteTime() const {
    return requests > 0 ? firstByteTime / static_cast<double>(requests) : 0;
}

double CompletionFigures::Percentile(double fraction) const {
    if (seconds.empty()) {
        return 0;
    }
    const auto rank = static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(seconds.size())));
    return seconds[std::clamp<std::size_t>(rank, 1, seconds.size()) - 1];
}

double CompletionFigures::Mean() const {
    return seconds.empty()
               ? 0
               : std::accumulate(seconds.begin(), seconds.end(), 0.0) / static_cast<double>(seconds.size());
}

std::vector<HistogramBin> CompletionFigures::Histogram() const {
    static const double edges[] = {0,
                                   1,
                                   2,
                                   5,
                                   10,
                                   20,
                                   30,
                                   60,
                                   120,
                                   300,
                                   600,
                                   1200,
                                   1800,
                                   3600,
                                   7200,
                                   14400,
                                   28800,
                                   86400,
                                   std::numeric_limits<double>::infinity()};
    std::vector<HistogramBin> bins;
    for (std::size_t i = 0; i + 1 < std::size(edges); ++i) {
        bins.push_back(HistogramBin{edges[i], edges[i + 1], 0});
    }
    for (const double value : seconds) {
        const auto bin = std::upper_bound(std::begin(edges), std::end(edges), value) - std::begin(edges) - 1;
        bins.at(static_cast<std::size_t>(std::max<std::ptrdiff_t>(bin, 0))).count += 1;
    }
    const auto used = [](const HistogramBin& bin) { return bin.count > 0; };
    const auto first = std::find_if(bins.begin(), bins.end(), used);
    if (first == bins.end()) {
        return {};
    }
    const auto last = std::find_if(bins.rbegin(), bins.rend(), used).base();
    return std::vector<HistogramBin>(first, last);
}

std::optional<int> ErrorCodeOf(const std::string& errorText) {
    static const std::string prefix = "error|";
    if (errorText.compare(0, prefix.size(), prefix) != 0) {
        return std::nullopt;
    }
    int code = 0;
    const char* begin = errorText.data() + prefix.size();
    const char* end = errorText.data() + errorText.size();
    const auto [stop, error] = std::from_chars(begin, end, code);
    if (error != std::errc() || stop - begin > 3 || code < 0 || code > 255 || (stop != end && *stop != '|')) {
        return std::nullopt;
    }
    return code;
}

ReportFigures ComputeReportFigures(ReportDatabase& database, std::optional<std::int64_t> sinceMs,
                                   std::int64_t generatedMs) {
    CheckSchema(database);
    ReportFigures figures;
    figures.source = database.Describe();
    figures.sinceMs = sinceMs;
    figures.generatedMs = generatedMs;
    const std::int64_t since = sinceMs.value_or(std::numeric_limits<std::int64_t>::min());
    ReadSpan(database, since, figures);
    ReadHours(database, since, figures);
    ReadErrors(database, since, figures);
    ReadNodes(database, since, figures);
    ReadCompletion(database, since, figures);
    ReadVersions(database, since, figures);
    return figures;
}

}  // namespace tvl::analytics
