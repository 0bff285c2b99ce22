// The report as a page and as JSON, and `talvane-analytics report` as a
// command: the page holds only inline markup (checked element by element with
// expat), database text stays text, an empty database gives a page that says
// so, the JSON reads back to the same figures, and the options are checked.

#include <expat.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "app/TalvaneUpdaterMessages.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/tools/analytics/ReportTestDatabase.h"
#include "tools/talvane-analytics/Report.h"
#include "tools/talvane-analytics/ReportDatabase.h"
#include "tools/talvane-analytics/ReportFigures.h"
#include "tools/talvane-analytics/ReportHtml.h"
#include "tools/talvane-analytics/ReportJson.h"

namespace tvl::analytics {
namespace {

using test::kHourMsForTests;
using test::kReportBaseMs;

// What expat saw of a page: whether it is well-formed XML, every element and
// attribute name, and the text with the markup's escapes resolved.
struct XmlOutline {
    std::string error;  // empty when well-formed
    std::map<std::string, int> elements;
    std::set<std::string> attributes;
    std::string text;
};

XmlOutline ReadXml(const std::string& page) {
    XmlOutline outline;
    const XML_Parser parser = XML_ParserCreate("UTF-8");
    XML_SetUserData(parser, &outline);
    XML_SetElementHandler(
        parser,
        [](void* data, const XML_Char* name, const XML_Char** attributes) {
            auto& outline = *static_cast<XmlOutline*>(data);
            ++outline.elements[name];
            for (int i = 0; attributes[i] != nullptr; i += 2) {
                outline.attributes.insert(attributes[i]);
            }
        },
        [](void*, const XML_Char*) {});
    XML_SetCharacterDataHandler(parser, [](void* data, const XML_Char* text, int length) {
        static_cast<XmlOutline*>(data)->text.append(text, static_cast<std::size_t>(length));
    });
    if (XML_Parse(parser, page.data(), static_cast<int>(page.size()), XML_TRUE) == XML_STATUS_ERROR) {
        outline.error = std::string(XML_ErrorString(XML_GetErrorCode(parser))) + " at line " +
                        std::to_string(XML_GetCurrentLineNumber(parser));
    }
    XML_ParserFree(parser);
    return outline;
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

class ReportPageTest : public ::testing::Test {
  protected:
    ReportFigures Figures(std::optional<std::int64_t> since = std::nullopt) {
        const auto database = OpenSqliteReportDatabase(rows.Path());
        return ComputeReportFigures(*database, since, kReportBaseMs + 6 * kHourMsForTests);
    }

    test::TemporaryFolder folder;
    test::ReportTestDatabase rows{folder.Join("analytics.db")};
};

TEST_F(ReportPageTest, ThePageHoldsOnlyInlineMarkupAndIsWellFormed) {
    test::FillWithEveryKind(rows);
    rows.Error(kReportBaseMs + 20, false, "error|9|not UTF-8: \xff\xfe");
    const std::string page = ReportHtml(Figures());

    const std::string lower = Lower(page);
    for (const char* outside :
         {"http://", "https://", "<script", "url(", "@import", "@font-face", "<img", "<link"}) {
        EXPECT_EQ(lower.find(outside), std::string::npos) << outside;
    }
    const XmlOutline outline = ReadXml(page);
    ASSERT_EQ(outline.error, "") << page;
    const std::set<std::string> allowed{"html",   "head", "meta",  "title", "style", "body",    "main",
                                        "header", "h1",   "h2",    "h3",    "p",     "section", "div",
                                        "b",      "span", "table", "thead", "tbody", "tr",      "th",
                                        "td",     "code", "svg",   "line",  "text",  "rect",    "polyline"};
    for (const auto& [name, count] : outline.elements) {
        EXPECT_EQ(allowed.count(name), 1u) << "element " << name;
    }
    for (const char* reference : {"href", "src", "srcset", "xlink:href", "onload", "onclick"}) {
        EXPECT_EQ(outline.attributes.count(reference), 0u) << reference;
    }
    // Per hour, errors, throughput, error rate, time to complete.
    EXPECT_EQ(outline.elements.at("svg"), 5);
    // Database text arrives as the same text, not as markup, and what XML
    // cannot hold is replaced.
    EXPECT_NE(outline.text.find(test::kHostileNode), std::string::npos);
    EXPECT_NE(outline.text.find("error|2|6|<b>bold</b> \xEF\xBF\xBD & more"), std::string::npos);
    EXPECT_NE(outline.text.find("error|9|not UTF-8: \xEF\xBF\xBD\xEF\xBF\xBD"), std::string::npos);
    EXPECT_NE(outline.text.find("tool\"quoted"), std::string::npos);
    EXPECT_NE(outline.text.find(TalvaneUpdaterMessages().GetErrorMessage(TransferError::Geofenced)),
              std::string::npos);
}

TEST_F(ReportPageTest, ThePageShowsTheFiguresAsThePublisherReadsThem) {
    test::FillWithEveryKind(rows);
    const XmlOutline outline = ReadXml(ReportHtml(Figures()));
    ASSERT_EQ(outline.error, "");
    // 15 transfers, 15 MB, 10 MB/s over 2.5 s, 2 errors in 20 requests.
    for (const char* shown : {"15.0 MB", "2.00 MB/s", "10%", "100%", "Mar 01", "2026-03-01 10:00 UTC"}) {
        EXPECT_NE(outline.text.find(shown), std::string::npos) << shown;
    }
}

TEST_F(ReportPageTest, AnEmptyDatabaseGivesAPageThatSaysSo) {
    const std::string page = ReportHtml(Figures());
    const XmlOutline outline = ReadXml(page);
    ASSERT_EQ(outline.error, "");
    EXPECT_NE(outline.text.find("no analytics records"), std::string::npos) << outline.text;
    EXPECT_EQ(outline.elements.count("svg"), 0u);

    const XmlOutline inPeriod = ReadXml(ReportHtml(Figures(kReportBaseMs)));
    EXPECT_NE(inPeriod.text.find("received in this period"), std::string::npos) << inPeriod.text;
}

TEST_F(ReportPageTest, ManyHoursAreDrawnAsLinesThatStillParse) {
    for (std::int64_t hour = 0; hour < 100; ++hour) {
        rows.Counter(kReportBaseMs + hour * kHourMsForTests, "numStarts");
    }
    const auto database = OpenSqliteReportDatabase(rows.Path());
    const std::string page = ReportHtml(ComputeReportFigures(*database, std::nullopt, kReportBaseMs));
    const XmlOutline outline = ReadXml(page);
    ASSERT_EQ(outline.error, "");
    EXPECT_EQ(outline.elements.at("polyline"), 3);
}

TEST_F(ReportPageTest, TheJsonReadsBackToTheSameFigures) {
    test::FillWithEveryKind(rows);
    const ReportFigures figures = Figures();
    std::istringstream text(ReportJson(figures));
    boost::property_tree::ptree json;
    ASSERT_NO_THROW(boost::property_tree::read_json(text, json));

    EXPECT_EQ(json.get<std::int64_t>("totals.started"), 15);
    EXPECT_EQ(json.get<std::int64_t>("totals.completed"), 15);
    EXPECT_EQ(json.get<std::int64_t>("totals.failed"), 1);
    EXPECT_EQ(json.get<std::int64_t>("totals.bytes"), 15'000'000);
    EXPECT_EQ(json.get<std::string>("period.firstRecord"), "2026-03-01T10:00:00Z");

    const auto& hours = json.get_child("hours");
    ASSERT_EQ(hours.size(), figures.hours.size());
    EXPECT_EQ(hours.back().second.get<std::string>("hour"), "2026-03-01T14:00:00Z");
    EXPECT_EQ(hours.back().second.get<int>("started"), 5);

    const auto& errors = json.get_child("errors");
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors.front().second.get<int>("code"), 2);
    EXPECT_EQ(errors.front().second.get<int>("fatal"), 1);
    EXPECT_EQ(errors.front().second.get<std::string>("message"),
              TalvaneUpdaterMessages().GetErrorMessage(TransferError::ConnectionError));

    const auto& nodes = json.get_child("nodes");
    ASSERT_EQ(nodes.size(), 2u);
    EXPECT_EQ(nodes.front().second.get<std::string>("node"), test::kHostileNode);
    EXPECT_DOUBLE_EQ(nodes.back().second.get<double>("throughput"), 2'000'000);
    EXPECT_DOUBLE_EQ(nodes.back().second.get<double>("errorRate"), 0.1);

    // Transfers of hour h took (i + 1) minutes, i from 0 to h.
    EXPECT_EQ(json.get<int>("timeToComplete.transfers"), 15);
    EXPECT_DOUBLE_EQ(json.get<double>("timeToComplete.median"), figures.completion.Percentile(0.5));
    EXPECT_DOUBLE_EQ(json.get<double>("timeToComplete.max"), 300);
    int binned = 0;
    for (const auto& bin : json.get_child("timeToComplete.histogram")) {
        binned += bin.second.get<int>("transfers");
    }
    EXPECT_EQ(binned, 15);

    ASSERT_EQ(json.get_child("versions").size(), 2u);
}

TEST_F(ReportPageTest, TheJsonOfAnEmptyDatabaseHasEmptyLists) {
    std::istringstream text(ReportJson(Figures()));
    boost::property_tree::ptree json;
    ASSERT_NO_THROW(boost::property_tree::read_json(text, json));
    EXPECT_EQ(json.get<int>("totals.started"), 0);
    for (const char* list :
         {"hours", "errors", "errorTexts", "nodes", "versions", "timeToComplete.histogram"}) {
        EXPECT_TRUE(json.get_child(list).empty()) << list;
        EXPECT_EQ(json.get<std::string>(list), "") << list;
    }
    EXPECT_EQ(json.count("period.firstRecord"), 0u);
}

struct ReportRun {
    int status;
    std::string out;
    std::string err;
};

ReportRun Report(const std::vector<std::string>& arguments) {
    std::ostringstream out;
    std::ostringstream err;
    const int status = RunReport(arguments, out, err);
    return {status, out.str(), err.str()};
}

TEST_F(ReportPageTest, TheCommandWritesThePageOrTheJsonWhereItIsTold) {
    test::FillWithEveryKind(rows);
    const std::string file = folder.Join("report.html");
    const ReportRun page = Report({"--database", rows.Path(), "--output", file});
    ASSERT_EQ(page.status, 0) << page.err;
    EXPECT_EQ(page.out, "");
    std::ifstream written(file);
    std::stringstream html;
    html << written.rdbuf();
    EXPECT_EQ(ReadXml(html.str()).error, "");
    EXPECT_FALSE(std::ifstream(file + ".tmp").good());

    const ReportRun json = Report({"--database=" + rows.Path(), "--json", "--since", "2026-03-01T13:00Z"});
    ASSERT_EQ(json.status, 0) << json.err;
    std::istringstream text(json.out);
    boost::property_tree::ptree tree;
    ASSERT_NO_THROW(boost::property_tree::read_json(text, tree));
    EXPECT_EQ(tree.get<int>("totals.started"), 4 + 5);
    EXPECT_EQ(tree.get<std::string>("period.since"), "2026-03-01T13:00:00Z");
}

TEST_F(ReportPageTest, TheCommandRefusesWhatItCannotUse) {
    const auto usage = [](const std::vector<std::string>& arguments) {
        const ReportRun run = Report(arguments);
        EXPECT_EQ(run.status, 2) << run.err;
        EXPECT_EQ(run.err.rfind("talvane-analytics report: ", 0), 0u) << run.err;
        return run.err;
    };
    EXPECT_NE(usage({}).find("--database"), std::string::npos);
    usage({"--database", rows.Path(), "--postgres", "dbname=x"});
    usage({"--database", ""});
    EXPECT_NE(usage({"--database", rows.Path(), "--since", "yesterday"}).find("--since"), std::string::npos);
    EXPECT_NE(usage({"--database", rows.Path(), "--since", "2026-02-30"}).find("2026-02-30"),
              std::string::npos);
    usage({"--database", rows.Path(), "--since", "2026-03-01T25:00"});
    EXPECT_NE(usage({"--database", rows.Path(), "--hours", "0"}).find("--hours"), std::string::npos);
    usage({"--database", rows.Path(), "--hours", "2", "--since", "2026-03-01"});
    usage({"--database", rows.Path(), "stray"});

    const std::string missing = folder.Join("missing.db");
    const ReportRun run = Report({"--database", missing});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err.rfind("talvane-analytics report: cannot open " + missing, 0), 0u) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1);
    EXPECT_EQ(run.out, "");

    const ReportRun unwritable =
        Report({"--database", rows.Path(), "--output", folder.Join("no/such/folder/r.html")});
    EXPECT_EQ(unwritable.status, 1);
    EXPECT_NE(unwritable.err.find("cannot write"), std::string::npos) << unwritable.err;
}

}  // namespace
}  // namespace tvl::analytics
