#include "tools/talvane-analytics/ReportJson.h"

#include <boost/property_tree/ptree.hpp>
#include <cmath>
#include <cstdio>

#include "engine/events/JsonText.h"
#include "tools/talvane-analytics/ReportFigures.h"
#include "tools/talvane-analytics/ReportHtml.h"

namespace tvl::analytics {
namespace {

using boost::property_tree::ptree;

std::string Decimal(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.6f", value);
    // Trailing zeros say nothing; "0.250000" reads as "0.25".
    std::string out = text;
    out.erase(out.find_last_not_of('0') + 1);
    if (out.back() == '.') {
        out.pop_back();
    }
    return out;
}

std::string Utc(std::int64_t ms) {
    return UtcText(ms, "%Y-%m-%dT%H:%M:%SZ");
}

// An array child; the marker keeps an empty one "[]" instead of "".
void AddArray(ptree& tree, const std::string& key, ptree array) {
    if (array.empty()) {
        array.put_value(jsonEmptyArray);
    }
    tree.add_child(key, array);
}

void Push(ptree& array, const ptree& element) {
    array.push_back({"", element});
}

ptree Period(const ReportFigures& figures) {
    ptree period;
    if (figures.sinceMs) {
        period.put("since", Utc(*figures.sinceMs));
    }
    if (figures.firstRecordMs) {
        period.put("firstRecord", Utc(*figures.firstRecordMs));
        period.put("lastRecord", Utc(*figures.lastRecordMs));
    }
    period.put("generated", Utc(figures.generatedMs));
    return period;
}

ptree Completion(const CompletionFigures& completion) {
    ptree tree;
    tree.put("basis",
             "seconds from a transfer's first transfers record to its completed record, by receipt time");
    tree.put("transfers", completion.seconds.size());
    if (!completion.seconds.empty()) {
        tree.put("median", Decimal(completion.Percentile(0.5)));
        tree.put("p90", Decimal(completion.Percentile(0.9)));
        tree.put("p99", Decimal(completion.Percentile(0.99)));
        tree.put("mean", Decimal(completion.Mean()));
        tree.put("min", Decimal(completion.seconds.front()));
        tree.put("max", Decimal(completion.seconds.back()));
    }
    ptree histogram;
    for (const HistogramBin& bin : completion.Histogram()) {
        ptree element;
        element.put("from", Decimal(bin.fromSeconds));
        // The last bin is open; no "to".
        if (!std::isinf(bin.toSeconds)) {
            element.put("to", Decimal(bin.toSeconds));
        }
        element.put("transfers", bin.count);
        Push(histogram, element);
    }
    AddArray(tree, "histogram", histogram);
    return tree;
}

}  // namespace

std::string ReportJson(const ReportFigures& figures) {
    ptree root;
    root.put("source", figures.source);
    root.add_child("period", Period(figures));

    ptree totals;
    totals.put("started", figures.started);
    totals.put("completed", figures.completed);
    totals.put("failed", figures.failed);
    totals.put("bytes", figures.bytes);
    root.add_child("totals", totals);

    ptree hours;
    for (const HourFigures& hour : figures.hours) {
        ptree element;
        element.put("hour", Utc(hour.startMs));
        element.put("started", hour.started);
        element.put("completed", hour.completed);
        element.put("failed", hour.failed);
        Push(hours, element);
    }
    AddArray(root, "hours", hours);

    ptree errors;
    for (const ErrorCodeFigures& error : figures.errors) {
        ptree element;
        if (error.code) {
            element.put("code", *error.code);
        }
        element.put("name", error.name);
        element.put("retryable", error.retryable);
        element.put("fatal", error.fatal);
        element.put("message", error.message);
        Push(errors, element);
    }
    AddArray(root, "errors", errors);

    ptree errorTexts;
    for (const ErrorTextFigures& text : figures.errorTexts) {
        ptree element;
        element.put("error", text.text);
        element.put("count", text.count);
        Push(errorTexts, element);
    }
    AddArray(root, "errorTexts", errorTexts);

    ptree nodes;
    for (const NodeFigures& node : figures.nodes) {
        ptree element;
        element.put("node", node.node);
        element.put("bytes", node.bytes);
        element.put("successBytes", node.successBytes);
        element.put("requests", node.requests);
        element.put("errors", node.errors);
        element.put("throughput", Decimal(node.Throughput()));
        element.put("errorRate", Decimal(node.ErrorRate()));
        element.put("meanFirstByteTime", Decimal(node.MeanFirstByteTime()));
        element.put("connectFailures", node.connectFailures);
        element.put("httpServerErrors", node.httpServerErrors);
        element.put("connectionsReset", node.connectionsReset);
        element.put("dataMismatches", node.dataMismatches);
        element.put("requestTimeouts", node.requestTimeouts);
        Push(nodes, element);
    }
    AddArray(root, "nodes", nodes);

    root.add_child("timeToComplete", Completion(figures.completion));

    ptree versions;
    for (const VersionFigures& version : figures.versions) {
        ptree element;
        element.put("pkgid", version.pkgid);
        element.put("vid", version.vid);
        element.put("started", version.started);
        element.put("completed", version.completed);
        element.put("failed", version.failed);
        element.put("bytes", version.bytes);
        Push(versions, element);
    }
    AddArray(root, "versions", versions);
    return JsonText(root);
}

}  // namespace tvl::analytics
