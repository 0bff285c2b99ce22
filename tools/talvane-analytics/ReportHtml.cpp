#include "tools/talvane-analytics/ReportHtml.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <sstream>

#include "tools/talvane-analytics/ReportFigures.h"
#include "tools/talvane-analytics/ReportSvg.h"

namespace tvl::analytics {
namespace {

constexpr char kStartedColour[] = "#4e79a7";
constexpr char kCompletedColour[] = "#59a14f";
constexpr char kFailedColour[] = "#e15759";
constexpr char kNeutralColour[] = "#4e79a7";
constexpr int kChartWidth = 860;

// No '<' or '&' here: the style sheet is element text of an XML-clean page.
constexpr char kStyle[] = R"(
body { margin: 0; background: #f4f6f8; color: #1f2933;
       font: 14px/1.45 system-ui, "Segoe UI", Roboto, "DejaVu Sans", sans-serif; }
main { max-width: 940px; margin: 0 auto; padding: 24px 20px 40px; }
header h1 { font-size: 22px; margin: 0 0 4px; }
.meta { color: #52606d; margin: 0; }
section { background: #fff; border: 1px solid #dde2e7; border-radius: 8px; padding: 16px 20px; margin: 16px 0; }
h2 { font-size: 16px; margin: 0 0 10px; }
h3 { font-size: 14px; margin: 18px 0 6px; color: #3e4c59; }
.tiles { display: grid; grid-template-columns: repeat(6, 1fr); gap: 10px; background: none; border: 0; padding: 0; }
.tile { background: #fff; border: 1px solid #dde2e7; border-radius: 8px; padding: 10px 12px; }
.tile b { display: block; font-size: 21px; font-weight: 600; }
.tile span { color: #52606d; font-size: 12px; }
.tile.good b { color: #2f7d32; } .tile.bad b { color: #c62828; }
table { border-collapse: collapse; width: 100%; font-size: 13px; margin-top: 8px; }
th, td { padding: 5px 8px; border-bottom: 1px solid #e4e7eb; text-align: left; vertical-align: top; }
th { color: #52606d; font-weight: 600; background: #f8f9fa; }
.n { text-align: right; font-variant-numeric: tabular-nums; white-space: nowrap; }
code { font-size: 12px; word-break: break-all; }
.chart { display: block; max-width: 100%; height: auto; margin: 4px 0; }
.chart text { font-size: 11px; fill: #3e4c59; }
.chart .legend { font-size: 12px; }
.chart .grid { stroke: #e4e7eb; } .chart .axis { stroke: #9aa5b1; }
.chart .strong { font-weight: 600; }
.note { color: #52606d; font-size: 12px; margin: 8px 0 0; }
.empty { color: #52606d; font-style: italic; }
)";

std::string Fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// Three significant digits: 1.45, 14.5, 145.
std::string Significant(double value) {
    return Fixed(value, value < 10 ? 2 : value < 100 ? 1 : 0);
}

std::string FormatRate(double bytesPerSecond) {
    return FormatBytes(bytesPerSecond) + "/s";
}

std::string FormatPercent(double fraction) {
    const double percent = fraction * 100;
    return Fixed(percent, percent == 0 || percent >= 10 ? 0 : percent >= 1 ? 1 : 2) + "%";
}

// Histogram bin labels: "<1 s", "1–2 s", "30 s–1 min", "≥1 d".
std::string BinEdge(double seconds) {
    if (seconds < 60)
        return Fixed(seconds, 0) + " s";
    if (seconds < 3600)
        return Fixed(seconds / 60, 0) + " min";
    if (seconds < 86400)
        return Fixed(seconds / 3600, 0) + " h";
    return Fixed(seconds / 86400, 0) + " d";
}

std::string BinLabel(const HistogramBin& bin) {
    if (bin.fromSeconds == 0)
        return "<" + BinEdge(bin.toSeconds);
    if (std::isinf(bin.toSeconds))
        return "\xE2\x89\xA5" + BinEdge(bin.fromSeconds);
    const std::string from = BinEdge(bin.fromSeconds);
    const std::string to = BinEdge(bin.toSeconds);
    const auto unit = [](const std::string& edge) { return edge.substr(edge.find(' ')); };
    return (unit(from) == unit(to) ? from.substr(0, from.find(' ')) : from) + "\xE2\x80\x93" + to;
}

std::string HourLabel(std::int64_t ms) {
    return UtcText(ms, "%H:00\n%b %d");
}

class Page {
  public:
    void Raw(const std::string& markup) { html_ << markup; }
    void Text(const std::string& text) { html_ << MarkupText(text); }
    Page& Cell(const std::string& text, bool number = false) {
        html_ << (number ? "<td class=\"n\">" : "<td>") << MarkupText(text) << "</td>";
        return *this;
    }
    void HeaderRow(std::initializer_list<std::pair<const char*, bool>> columns) {
        html_ << "<thead><tr>";
        for (const auto& [name, number] : columns) {
            html_ << (number ? "<th class=\"n\">" : "<th>") << name << "</th>";
        }
        html_ << "</tr></thead>";
    }
    void Empty(const std::string& text) { html_ << "<p class=\"empty\">" << MarkupText(text) << "</p>"; }
    void Note(const std::string& text) { html_ << "<p class=\"note\">" << MarkupText(text) << "</p>"; }
    std::string Take() const { return html_.str(); }

  private:
    std::ostringstream html_;
};

void Tiles(Page& page, const ReportFigures& figures) {
    const auto tile = [&](const std::string& value, const char* label, const char* kind = "") {
        page.Raw(std::string("<div class=\"tile ") + kind + "\"><b>");
        page.Text(value);
        page.Raw(std::string("</b><span>") + label + "</span></div>");
    };
    page.Raw("<section class=\"tiles\">");
    tile(FormatCount(figures.started), "transfers started");
    tile(FormatCount(figures.completed), "completed", "good");
    tile(FormatCount(figures.failed), "failed", figures.failed > 0 ? "bad" : "");
    tile(figures.started > 0
             ? FormatPercent(static_cast<double>(figures.completed) / static_cast<double>(figures.started))
             : "\xE2\x80\x93",
         "completed of started");
    tile(FormatBytes(static_cast<double>(figures.bytes)), "downloaded");
    tile(figures.completion.seconds.empty() ? "\xE2\x80\x93"
                                            : FormatDuration(figures.completion.Percentile(0.5)),
         "median time to complete");
    page.Raw("</section>");
}

void Hours(Page& page, const ReportFigures& figures) {
    page.Raw("<section><h2>Transfers per hour</h2>");
    std::vector<std::string> labels;
    ChartSeries started{"started", kStartedColour, {}};
    ChartSeries completed{"completed", kCompletedColour, {}};
    ChartSeries failed{"failed", kFailedColour, {}};
    for (const HourFigures& hour : figures.hours) {
        labels.push_back(HourLabel(hour.startMs));
        started.values.push_back(static_cast<double>(hour.started));
        completed.values.push_back(static_cast<double>(hour.completed));
        failed.values.push_back(static_cast<double>(hour.failed));
    }
    ChartLayout layout;
    layout.width = kChartWidth;
    layout.title = "Transfers started, completed and failed per hour (UTC)";
    layout.wholeNumbers = true;
    layout.formatValue = [](double v) { return FormatCount(std::llround(v)); };
    page.Raw(ColumnChart(labels, {started, completed, failed}, layout));
    page.Note(
        "Hours in UTC, by when the collector received the report. Started counts numStarts, completed "
        "numCompletes, failed numFatalErrors.");
    page.Raw("</section>");
}

void Errors(Page& page, const ReportFigures& figures) {
    page.Raw("<section><h2>Errors by code</h2>");
    if (figures.errors.empty()) {
        page.Empty("No errors reported in this period.");
        page.Raw("</section>");
        return;
    }
    std::vector<std::string> labels;
    std::vector<double> values;
    for (const ErrorCodeFigures& error : figures.errors) {
        labels.push_back((error.code ? std::to_string(*error.code) + " " : std::string()) + error.name);
        values.push_back(static_cast<double>(error.retryable + error.fatal));
    }
    ChartLayout layout;
    layout.width = kChartWidth;
    layout.title = "Errors reported, by transfer error code";
    layout.formatValue = [](double v) { return FormatCount(std::llround(v)); };
    page.Raw(BarChart(labels, values, kFailedColour, layout));
    page.Raw("<table>");
    page.HeaderRow({{"Code", false},
                    {"Name", false},
                    {"Retried", true},
                    {"Fatal", true},
                    {"What the user reads", false}});
    page.Raw("<tbody>");
    for (const ErrorCodeFigures& error : figures.errors) {
        page.Raw("<tr>");
        page.Cell(error.code ? std::to_string(*error.code) : "\xE2\x80\x93")
            .Cell(error.name)
            .Cell(FormatCount(error.retryable), true)
            .Cell(FormatCount(error.fatal), true)
            .Cell(error.message.empty() ? "\xE2\x80\x93" : error.message);
        page.Raw("</tr>");
    }
    page.Raw("</tbody></table>");
    page.Raw("<h3>Most frequent error texts</h3><table>");
    page.HeaderRow({{"Reports", true}, {"Error", false}});
    page.Raw("<tbody>");
    for (const ErrorTextFigures& text : figures.errorTexts) {
        page.Raw("<tr>");
        page.Cell(FormatCount(text.count), true);
        page.Raw("<td><code>");
        page.Text(text.text);
        page.Raw("</code></td></tr>");
    }
    page.Raw("</tbody></table>");
    page.Note(
        "Retried errors (numRetryableErrors) did not end the transfer; fatal ones (numFatalErrors) did. The "
        "code is the transfer error after \"error|\" in the report's error text.");
    page.Raw("</section>");
}

// "226 connect, 588 HTTP 5xx": the kinds the engine tells apart, those that
// happened; other failures count in the error rate only.
std::string ErrorKinds(const NodeFigures& node) {
    const std::pair<std::int64_t, const char*> kinds[] = {{node.connectFailures, "connect"},
                                                          {node.httpServerErrors, "HTTP 5xx"},
                                                          {node.connectionsReset, "reset"},
                                                          {node.dataMismatches, "data mismatch"},
                                                          {node.requestTimeouts, "timeout"}};
    std::string text;
    for (const auto& [count, kind] : kinds) {
        if (count > 0) {
            text += (text.empty() ? "" : ", ") + FormatCount(count) + " " + kind;
        }
    }
    return text.empty() ? "\xE2\x80\x93" : text;
}

void Nodes(Page& page, const ReportFigures& figures) {
    page.Raw("<section><h2>Download nodes</h2>");
    if (figures.nodes.empty()) {
        page.Empty("No download node figures in this period.");
        page.Raw("</section>");
        return;
    }
    std::vector<std::string> labels;
    std::vector<double> throughput;
    std::vector<double> errorRate;
    for (const NodeFigures& node : figures.nodes) {
        labels.push_back(node.node);
        throughput.push_back(node.Throughput());
        errorRate.push_back(node.ErrorRate());
    }
    ChartLayout layout;
    layout.width = kChartWidth;
    layout.title = "Mean throughput per download node";
    layout.formatValue = FormatRate;
    page.Raw("<h3>Mean throughput</h3>");
    page.Raw(BarChart(labels, throughput, kNeutralColour, layout));
    layout.title = "Error rate per download node";
    layout.formatValue = FormatPercent;
    page.Raw("<h3>Error rate</h3>");
    page.Raw(BarChart(labels, errorRate, kFailedColour, layout));
    page.Raw("<table>");
    page.HeaderRow({{"Node", false},
                    {"Bytes served", true},
                    {"Requests", true},
                    {"Throughput", true},
                    {"First byte", true},
                    {"Error rate", true},
                    {"Failed requests by kind", false}});
    page.Raw("<tbody>");
    for (const NodeFigures& node : figures.nodes) {
        page.Raw("<tr>");
        page.Cell(node.node)
            .Cell(FormatBytes(static_cast<double>(node.bytes)), true)
            .Cell(FormatCount(node.requests), true)
            .Cell(FormatRate(node.Throughput()), true)
            .Cell(FormatDuration(node.MeanFirstByteTime()), true)
            .Cell(FormatPercent(node.ErrorRate()), true)
            .Cell(ErrorKinds(node));
        page.Raw("</tr>");
    }
    page.Raw("</tbody></table>");
    page.Note(
        "Throughput is the bytes of successful requests over their summed request time: the speed of one "
        "request while the node serves well (a transfer runs several at once). Time lost to failing "
        "requests shows in the error rate, errors over requests, instead. First byte is the mean time to "
        "the first byte over all requests.");
    page.Raw("</section>");
}

void Completion(Page& page, const ReportFigures& figures) {
    page.Raw("<section><h2>Time to complete</h2>");
    const CompletionFigures& completion = figures.completion;
    if (completion.seconds.empty()) {
        page.Empty("No transfer completed in this period.");
        page.Raw("</section>");
        return;
    }
    std::vector<std::string> labels;
    ChartSeries transfers{"", kCompletedColour, {}};
    for (const HistogramBin& bin : completion.Histogram()) {
        labels.push_back(BinLabel(bin));
        transfers.values.push_back(static_cast<double>(bin.count));
    }
    ChartLayout layout;
    layout.width = kChartWidth;
    layout.height = 220;
    layout.title = "Transfers by time to complete";
    layout.wholeNumbers = true;
    layout.formatValue = [](double v) { return FormatCount(std::llround(v)); };
    page.Raw(ColumnChart(labels, {transfers}, layout));
    page.Raw("<table>");
    page.HeaderRow({{"Transfers", true},
                    {"Median", true},
                    {"90th percentile", true},
                    {"99th percentile", true},
                    {"Mean", true},
                    {"Slowest", true}});
    page.Raw("<tbody><tr>");
    page.Cell(FormatCount(static_cast<std::int64_t>(completion.seconds.size())), true)
        .Cell(FormatDuration(completion.Percentile(0.5)), true)
        .Cell(FormatDuration(completion.Percentile(0.9)), true)
        .Cell(FormatDuration(completion.Percentile(0.99)), true)
        .Cell(FormatDuration(completion.Mean()), true)
        .Cell(FormatDuration(completion.seconds.back()), true);
    page.Raw("</tr></tbody></table>");
    page.Note(
        "From a transfer's first transfers report (its start) to its completed report, both by the "
        "collector's clock, for every transfer completed in this period. Time spent suspended counts, so "
        "the median says more than the mean.");
    page.Raw("</section>");
}

void Versions(Page& page, const ReportFigures& figures) {
    page.Raw("<section><h2>Package versions</h2>");
    if (figures.versions.empty()) {
        page.Empty("No package versions reported in this period.");
        page.Raw("</section>");
        return;
    }
    page.Raw("<table>");
    page.HeaderRow({{"Package", false},
                    {"Version", false},
                    {"Started", true},
                    {"Completed", true},
                    {"Failed", true},
                    {"Downloaded", true}});
    page.Raw("<tbody>");
    for (const VersionFigures& version : figures.versions) {
        page.Raw("<tr>");
        page.Cell(version.pkgid)
            .Cell(version.vid == "?" ? "? (not yet known)" : version.vid)
            .Cell(FormatCount(version.started), true)
            .Cell(FormatCount(version.completed), true)
            .Cell(FormatCount(version.failed), true)
            .Cell(FormatBytes(static_cast<double>(version.bytes)), true);
        page.Raw("</tr>");
    }
    page.Raw("</tbody></table>");
    page.Note(
        "A transfer that fails before its package manifest arrives does not know its version yet and "
        "reports \"?\".");
    page.Raw("</section>");
}

}  // namespace

std::string FormatCount(std::int64_t count) {
    std::string digits = std::to_string(count < 0 ? -count : count);
    for (auto i = static_cast<std::ptrdiff_t>(digits.size()) - 3; i > 0; i -= 3) {
        digits.insert(static_cast<std::size_t>(i), ",");
    }
    return (count < 0 ? "-" : "") + digits;
}

std::string FormatBytes(double bytes) {
    static const char* const units[] = {"B", "kB", "MB", "GB", "TB", "PB"};
    std::size_t unit = 0;
    while (std::fabs(bytes) >= 999.5 && unit + 1 < std::size(units)) {
        bytes /= 1000;
        ++unit;
    }
    return (unit == 0 ? Fixed(bytes, 0) : Significant(bytes)) + " " + units[unit];
}

std::string FormatDuration(double seconds) {
    if (seconds < 1) {
        return Fixed(seconds * 1000, 0) + " ms";
    }
    if (seconds < 60) {
        return Significant(seconds) + " s";
    }
    const auto whole = std::llround(seconds);
    char text[48];
    if (whole < 3600) {
        std::snprintf(text, sizeof text, "%lld min %02lld s", whole / 60, whole % 60);
    } else if (whole < 86400) {
        std::snprintf(text, sizeof text, "%lld h %02lld min", whole / 3600, whole % 3600 / 60);
    } else {
        std::snprintf(text, sizeof text, "%lld d %lld h", whole / 86400, whole % 86400 / 3600);
    }
    return text;
}

std::string UtcText(std::int64_t ms, const char* format) {
    const std::time_t when = static_cast<std::time_t>(ms / 1000);
    std::tm parts{};
    gmtime_r(&when, &parts);
    char text[64];
    return std::string(text, std::strftime(text, sizeof text, format, &parts));
}

std::string FormatUtc(std::int64_t ms) {
    return UtcText(ms, "%Y-%m-%d %H:%M UTC");
}

std::string ReportHtml(const ReportFigures& figures) {
    Page page;
    page.Raw(
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"/>"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\"/>"
        "<title>Talvane Delivery analytics report</title><style>");
    page.Raw(kStyle);
    page.Raw("</style></head><body><main><header><h1>Talvane Delivery analytics</h1><p class=\"meta\">");
    std::string period;
    if (figures.sinceMs) {
        period = "From " + FormatUtc(*figures.sinceMs) + " to " + FormatUtc(figures.generatedMs);
    } else if (!figures.Empty()) {
        period =
            "All records, " + FormatUtc(*figures.firstRecordMs) + " to " + FormatUtc(*figures.lastRecordMs);
    } else {
        period = "All records";
    }
    page.Text(period + " \xC2\xB7 " + figures.source + " \xC2\xB7 generated " +
              FormatUtc(figures.generatedMs));
    page.Raw("</p></header>");
    if (figures.Empty()) {
        page.Raw("<section><h2>No records</h2>");
        page.Empty(figures.sinceMs ? "The database holds no analytics records received in this period."
                                   : "The database holds no analytics records yet.");
        page.Note(
            "Records arrive when the engine's analytics URLs point at talvane-analytics serve and a "
            "transfer runs; this page fills in from the next report on.");
        page.Raw("</section>");
    } else {
        Tiles(page, figures);
        Hours(page, figures);
        Errors(page, figures);
        Nodes(page, figures);
        Completion(page, figures);
        Versions(page, figures);
    }
    page.Raw("</main></body></html>\n");
    return page.Take();
}

}  // namespace tvl::analytics
