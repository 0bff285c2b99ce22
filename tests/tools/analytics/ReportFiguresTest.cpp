// The report's figures from a SQLite database with known rows: what is
// counted per hour, how errors group by code, how node figures add up, the
// time to complete, the versions, and what a database that is not the
// collector's gives.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fstream>

#include "app/TalvaneUpdaterMessages.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/tools/analytics/ReportTestDatabase.h"
#include "tools/talvane-analytics/ReportDatabase.h"
#include "tools/talvane-analytics/ReportFigures.h"

namespace tvl::analytics {
namespace {

using test::kHourMsForTests;
using test::kMinuteMs;
using test::kReportBaseMs;

class ReportFiguresTest : public ::testing::Test {
  protected:
    ReportFigures Compute(std::optional<std::int64_t> since = std::nullopt,
                          std::int64_t now = kReportBaseMs + 24 * kHourMsForTests) {
        const auto database = OpenSqliteReportDatabase(rows.Path());
        return ComputeReportFigures(*database, since, now);
    }

    test::TemporaryFolder folder;
    test::ReportTestDatabase rows{folder.Join("analytics.db")};
};

TEST_F(ReportFiguresTest, StartsCompletionsAndFatalErrorsAreCountedInTheirUtcHourWithQuietHoursInBetween) {
    rows.Counter(kReportBaseMs, "numStarts");
    rows.Counter(kReportBaseMs + 5 * kMinuteMs, "numStarts");
    rows.Counter(kReportBaseMs + kHourMsForTests - 1, "numStarts");  // the hour's last millisecond
    rows.Counter(kReportBaseMs + 30 * kMinuteMs, "numCompletes");
    rows.Counter(kReportBaseMs + 40 * kMinuteMs, "numCompletes");
    // Neither a start, a completion nor a failure.
    rows.Counter(kReportBaseMs + 1, "numInitializes");
    rows.Counter(kReportBaseMs + 2, "numRestores");
    rows.Counter(kReportBaseMs + 2 * kHourMsForTests + 3, "numCancels");
    rows.Error(kReportBaseMs + 2 * kHourMsForTests + 4, false, "error|2|6|libcurl error 7 (HTTP 0)");
    rows.Error(kReportBaseMs + 2 * kHourMsForTests + 5, true, "error|4|FileInsufficientSpaceException");
    rows.Counter(kReportBaseMs + 2 * kHourMsForTests + 6, "numStarts");

    const ReportFigures figures = Compute();

    ASSERT_EQ(figures.hours.size(), 3u);
    EXPECT_EQ(figures.hours[0].startMs, kReportBaseMs);
    EXPECT_EQ(figures.hours[0].started, 3);
    EXPECT_EQ(figures.hours[0].completed, 2);
    EXPECT_EQ(figures.hours[0].failed, 0);
    EXPECT_EQ(figures.hours[1].startMs, kReportBaseMs + kHourMsForTests);
    EXPECT_EQ(figures.hours[1].started + figures.hours[1].completed + figures.hours[1].failed, 0);
    EXPECT_EQ(figures.hours[2].started, 1);
    EXPECT_EQ(figures.hours[2].failed, 1);
    EXPECT_EQ(figures.started, 4);
    EXPECT_EQ(figures.completed, 2);
    EXPECT_EQ(figures.failed, 1);
    EXPECT_EQ(*figures.firstRecordMs, kReportBaseMs);
    EXPECT_EQ(*figures.lastRecordMs, kReportBaseMs + 2 * kHourMsForTests + 6);
}

TEST_F(ReportFiguresTest, AStartLeavesEarlierRecordsOutAndRunsTheHoursUpToNow) {
    rows.Counter(kReportBaseMs, "numStarts");
    rows.Counter(kReportBaseMs + 2 * kHourMsForTests + kMinuteMs, "numStarts");
    rows.Transfer(kReportBaseMs, "early", "active");

    const ReportFigures figures =
        Compute(kReportBaseMs + kHourMsForTests, kReportBaseMs + 4 * kHourMsForTests + 10 * kMinuteMs);

    EXPECT_EQ(figures.started, 1);
    // From the first record in the period to the hour of "now", the quiet
    // hours at the end included.
    ASSERT_EQ(figures.hours.size(), 3u);
    EXPECT_EQ(figures.hours.front().startMs, kReportBaseMs + 2 * kHourMsForTests);
    EXPECT_EQ(figures.hours.back().startMs, kReportBaseMs + 4 * kHourMsForTests);
    EXPECT_EQ(figures.hours.back().started, 0);
}

TEST_F(ReportFiguresTest, ErrorsAreGroupedByTheirCodeWithTheTextTheUserReads) {
    rows.Error(kReportBaseMs, false, "error|2|6|libcurl error 7 (HTTP 0)");
    rows.Error(kReportBaseMs + 1, false, "error|2|6|libcurl error 7 (HTTP 0)");
    rows.Error(kReportBaseMs + 2, true, "error|2|8|HTTP 503");
    rows.Error(kReportBaseMs + 3, true, "error|10|Geofence|KP");
    rows.Error(kReportBaseMs + 4, false, "error|1|7|HTTP 404");
    rows.Error(kReportBaseMs + 5, true, "error|11|25000|0|0|0|200|||aa|bb");
    rows.Error(kReportBaseMs + 6, false, "not an error summary");
    rows.Error(kReportBaseMs + 7, true, "");

    const ReportFigures figures = Compute();

    const TalvaneUpdaterMessages messages;
    ASSERT_EQ(figures.errors.size(), 5u);
    EXPECT_EQ(figures.errors[0].code, 1);
    EXPECT_EQ(figures.errors[0].name, "ContentError");
    EXPECT_EQ(figures.errors[1].code, 2);
    EXPECT_EQ(figures.errors[1].name, "ConnectionError");
    EXPECT_EQ(figures.errors[1].retryable, 2);
    EXPECT_EQ(figures.errors[1].fatal, 1);
    EXPECT_EQ(figures.errors[1].message, messages.GetErrorMessage(TransferError::ConnectionError));
    EXPECT_NE(figures.errors[1].message, figures.errors[0].message);
    EXPECT_EQ(figures.errors[2].code, 10);
    EXPECT_EQ(figures.errors[2].message, messages.GetErrorMessage(TransferError::Geofenced));
    EXPECT_EQ(figures.errors[3].code, 11);
    EXPECT_EQ(figures.errors[3].fatal, 1);
    // Texts without a code come last, together.
    EXPECT_FALSE(figures.errors[4].code.has_value());
    EXPECT_EQ(figures.errors[4].retryable, 1);
    EXPECT_EQ(figures.errors[4].fatal, 1);
    EXPECT_TRUE(figures.errors[4].message.empty());

    ASSERT_EQ(figures.errorTexts.size(), 6u);  // a NULL text is not one
    EXPECT_EQ(figures.errorTexts[0].text, "error|2|6|libcurl error 7 (HTTP 0)");
    EXPECT_EQ(figures.errorTexts[0].count, 2);
    EXPECT_EQ(figures.errorTexts[1].count, 1);
}

TEST_F(ReportFiguresTest, OnlyTheTenMostFrequentErrorTextsAreListed) {
    for (int text = 0; text < 12; ++text) {
        for (int report = 0; report <= text; ++report) {
            rows.Error(kReportBaseMs + report, false, "error|2|6|text " + std::to_string(text));
        }
    }
    const ReportFigures figures = Compute();
    ASSERT_EQ(figures.errorTexts.size(), 10u);
    EXPECT_EQ(figures.errorTexts.front().text, "error|2|6|text 11");
    EXPECT_EQ(figures.errorTexts.front().count, 12);
    EXPECT_EQ(figures.errorTexts.back().count, 3);
    EXPECT_EQ(figures.errors.at(0).retryable, 78);
}

TEST(ReportErrorCode, IsTheNumberAfterErrorUpToTheNextBar) {
    EXPECT_EQ(ErrorCodeOf("error|10|Geofence|KP"), 10);
    EXPECT_EQ(ErrorCodeOf("error|2"), 2);
    EXPECT_EQ(ErrorCodeOf("error|255|x"), 255);
    EXPECT_EQ(ErrorCodeOf("error|256|x"), std::nullopt);
    EXPECT_EQ(ErrorCodeOf("error|0002|x"), std::nullopt);
    EXPECT_EQ(ErrorCodeOf("error||x"), std::nullopt);
    EXPECT_EQ(ErrorCodeOf("error|-1|x"), std::nullopt);
    EXPECT_EQ(ErrorCodeOf("error|2x|"), std::nullopt);
    EXPECT_EQ(ErrorCodeOf("Error|2|"), std::nullopt);
    EXPECT_EQ(ErrorCodeOf(""), std::nullopt);
}

TEST_F(ReportFiguresTest, NodeFiguresAddUpOverEveryReportOfTheNode) {
    test::NodeRow first;
    first.bytes = 1'000'000;
    first.successBytes = 1'000'000;
    first.successTime = 0.5;
    first.requestTime = 0.5;
    first.firstByteTime = 0.2;
    first.requests = 10;
    first.errors = 1;
    first.connectFailures = 1;
    test::NodeRow second = first;
    second.bytes = 3'000'000;
    second.successBytes = 2'000'000;
    second.successTime = 1.0;
    second.requestTime = 4.0;  // a timed-out request: not in the throughput
    second.requests = 30;
    second.errors = 3;
    second.connectFailures = 0;
    second.requestTimeouts = 3;
    rows.Node(kReportBaseMs, "b.example:80", first);
    rows.Node(kReportBaseMs + kHourMsForTests, "b.example:80", second);
    rows.Node(kReportBaseMs, "a.example:80", test::NodeRow{});

    const ReportFigures figures = Compute();

    ASSERT_EQ(figures.nodes.size(), 2u);
    const NodeFigures& idle = figures.nodes[0];
    EXPECT_EQ(idle.node, "a.example:80");
    EXPECT_EQ(idle.Throughput(), 0);
    EXPECT_EQ(idle.ErrorRate(), 0);
    const NodeFigures& busy = figures.nodes[1];
    EXPECT_EQ(busy.bytes, 4'000'000);
    EXPECT_EQ(busy.requests, 40);
    EXPECT_EQ(busy.errors, 4);
    EXPECT_EQ(busy.connectFailures, 1);
    EXPECT_EQ(busy.requestTimeouts, 3);
    EXPECT_DOUBLE_EQ(busy.Throughput(), 3'000'000 / 1.5);
    EXPECT_DOUBLE_EQ(busy.ErrorRate(), 0.1);
    EXPECT_DOUBLE_EQ(busy.MeanFirstByteTime(), 0.4 / 40);
    // Counter and error elements are not nodes.
    rows.Counter(kReportBaseMs, "numStarts");
    EXPECT_EQ(Compute().nodes.size(), 2u);
}

TEST_F(ReportFiguresTest, TimeToCompleteRunsFromTheFirstTransfersRecordToTheCompletedOne) {
    for (int seconds = 1; seconds <= 100; ++seconds) {
        const std::string tid = "t" + std::to_string(seconds);
        const std::int64_t start = kReportBaseMs + seconds * kMinuteMs;
        rows.Transfer(start, tid, "active");
        rows.Transfer(start + seconds * 500, tid, "active", 100);  // an error report half-way
        rows.Transfer(start + seconds * 1000, tid, "completed", 200);
    }
    rows.Transfer(kReportBaseMs, "still-running", "active");
    rows.Transfer(kReportBaseMs, "given-up", "active");
    rows.Transfer(kReportBaseMs + 5000, "given-up", "canceled");

    const CompletionFigures completion = Compute().completion;

    ASSERT_EQ(completion.seconds.size(), 100u);
    EXPECT_DOUBLE_EQ(completion.Percentile(0.5), 50);
    EXPECT_DOUBLE_EQ(completion.Percentile(0.9), 90);
    EXPECT_DOUBLE_EQ(completion.Percentile(0.99), 99);
    EXPECT_DOUBLE_EQ(completion.Percentile(1.0), 100);
    EXPECT_DOUBLE_EQ(completion.Percentile(0.0), 1);
    EXPECT_DOUBLE_EQ(completion.Mean(), 50.5);

    const std::vector<HistogramBin> bins = completion.Histogram();
    ASSERT_EQ(bins.size(), 7u);  // 1-2 s up to 60-120 s; the empty bins around are trimmed
    const std::vector<std::int64_t> counts{1, 3, 5, 10, 10, 30, 41};
    for (std::size_t i = 0; i < bins.size(); ++i) {
        EXPECT_EQ(bins[i].count, counts[i]) << "bin from " << bins[i].fromSeconds;
    }
    EXPECT_EQ(bins.front().fromSeconds, 1);
    EXPECT_EQ(bins.back().toSeconds, 120);
}

TEST_F(ReportFiguresTest, ATransferCompletedInThePeriodCountsWithTheTimeBeforeItAndItsSuspension) {
    // Started before the period, suspended, restored, completed in it.
    rows.Transfer(kReportBaseMs, "long", "active");
    rows.Transfer(kReportBaseMs + 10 * kMinuteMs, "long", "suspended");
    rows.Transfer(kReportBaseMs + 3 * kHourMsForTests, "long", "active");
    rows.Transfer(kReportBaseMs + 3 * kHourMsForTests + 30 * 1000, "long", "completed");
    // Completed before the period.
    rows.Transfer(kReportBaseMs, "old", "active");
    rows.Transfer(kReportBaseMs + 1000, "old", "completed");

    const CompletionFigures completion = Compute(kReportBaseMs + 2 * kHourMsForTests).completion;

    ASSERT_EQ(completion.seconds.size(), 1u);
    EXPECT_DOUBLE_EQ(completion.seconds[0], 3 * 3600 + 30);
    ASSERT_EQ(completion.Histogram().size(), 1u);
    EXPECT_EQ(completion.Histogram()[0].fromSeconds, 7200);
}

TEST_F(ReportFiguresTest, VersionsHaveTheirOwnCountsAndBytes) {
    rows.Counter(kReportBaseMs, "numStarts", "tool", "1.0");
    rows.Counter(kReportBaseMs, "numStarts", "tool", "1.0");
    rows.Counter(kReportBaseMs, "numCompletes", "tool", "1.0");
    rows.Error(kReportBaseMs, true, "error|2|6|x", "tool", "1.0");
    rows.Counter(kReportBaseMs, "numStarts", "tool", "2.0");
    rows.Error(kReportBaseMs, true, "error|10|Geofence|KP", "tool", "?");
    rows.Counter(kReportBaseMs, "numStarts", "skin", "1.0");
    rows.Transfer(kReportBaseMs, "a", "active", 0, "tool", "1.0");
    rows.Transfer(kReportBaseMs + 1, "a", "completed", 700, "tool", "1.0");
    rows.Transfer(kReportBaseMs + 2, "b", "suspended", 300, "tool", "1.0");
    rows.Transfer(kReportBaseMs + 3, "c", "completed", 50, "skin", "1.0");

    const ReportFigures figures = Compute();

    ASSERT_EQ(figures.versions.size(), 4u);
    EXPECT_EQ(figures.versions[0].pkgid, "skin");
    EXPECT_EQ(figures.versions[0].bytes, 50);
    const VersionFigures& one = figures.versions[1];
    EXPECT_EQ(one.pkgid, "tool");
    EXPECT_EQ(one.vid, "1.0");
    EXPECT_EQ(one.started, 2);
    EXPECT_EQ(one.completed, 1);
    EXPECT_EQ(one.failed, 1);
    EXPECT_EQ(one.bytes, 1000);
    EXPECT_EQ(figures.versions[2].vid, "2.0");
    EXPECT_EQ(figures.versions[2].started, 1);
    EXPECT_EQ(figures.versions[3].vid, "?");
    EXPECT_EQ(figures.versions[3].failed, 1);
    EXPECT_EQ(figures.bytes, 1050);
    EXPECT_EQ(figures.failed, 2);
}

TEST_F(ReportFiguresTest, TimesNoCollectorWritesAreRefusedBeforeTheHoursAreLaidOut) {
    rows.Counter(kReportBaseMs, "numStarts");
    rows.Counter(-5, "numStarts");
    EXPECT_THROW(Compute(), ReportDatabaseError);
    // A start after the odd record leaves it out.
    EXPECT_EQ(Compute(kReportBaseMs).started, 1);
}

TEST_F(ReportFiguresTest, RecordsOverMoreThanTenYearsNeedAStart) {
    rows.Counter(kReportBaseMs, "numStarts");
    rows.Counter(kReportBaseMs + (kMaxReportHours + 1) * kHourMsForTests, "numStarts");
    try {
        Compute();
        FAIL() << "laid out more than ten years of hours";
    } catch (const ReportDatabaseError& e) {
        EXPECT_NE(std::string(e.what()).find("--since"), std::string::npos) << e.what();
    }
    EXPECT_EQ(
        Compute(kReportBaseMs + kHourMsForTests, kReportBaseMs + (kMaxReportHours + 2) * kHourMsForTests)
            .started,
        1);
}

TEST_F(ReportFiguresTest, AnEmptyDatabaseGivesNoFigures) {
    const ReportFigures figures = Compute();
    EXPECT_TRUE(figures.Empty());
    EXPECT_TRUE(figures.hours.empty());
    EXPECT_TRUE(figures.errors.empty());
    EXPECT_TRUE(figures.nodes.empty());
    EXPECT_TRUE(figures.completion.seconds.empty());
    EXPECT_TRUE(figures.completion.Histogram().empty());
    EXPECT_EQ(figures.completion.Percentile(0.5), 0);
    EXPECT_EQ(figures.started, 0);
    EXPECT_NE(figures.source.find(rows.Path()), std::string::npos);
}

TEST(ReportDatabaseRefusal, AMissingFileIsNotCreated) {
    test::TemporaryFolder folder;
    const std::string path = folder.Join("missing.db");
    try {
        OpenSqliteReportDatabase(path);
        FAIL() << "opened a missing file";
    } catch (const ReportDatabaseError& e) {
        EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
    }
    EXPECT_FALSE(std::ifstream(path).good());
}

TEST(ReportDatabaseRefusal, AFileThatIsNotTheCollectorsDatabaseGivesAClearError) {
    test::TemporaryFolder folder;
    const auto refusal = [](const std::string& path) -> std::string {
        try {
            const auto database = OpenSqliteReportDatabase(path);
            ComputeReportFigures(*database, std::nullopt, kReportBaseMs);
        } catch (const ReportDatabaseError& e) {
            return e.what();
        }
        return "no error";
    };
    const std::string text = folder.Join("notes.txt");
    std::ofstream(text) << "this is not a database, only words that fill the first page of one";
    EXPECT_NE(refusal(text).find("not a database"), std::string::npos) << refusal(text);

    const std::string empty = folder.Join("empty.db");
    std::ofstream(empty).close();
    EXPECT_NE(refusal(empty).find("is not a talvane-analytics database"), std::string::npos)
        << refusal(empty);

    // A database of something else with a table of the same name.
    const std::string foreign = folder.Join("foreign.db");
    sqlite3* handle = nullptr;
    ASSERT_EQ(sqlite3_open(foreign.c_str(), &handle), SQLITE_OK);
    ASSERT_EQ(
        sqlite3_exec(handle, "CREATE TABLE event_records (id INTEGER, name TEXT)", nullptr, nullptr, nullptr),
        SQLITE_OK);
    sqlite3_close(handle);
    const std::string message = refusal(foreign);
    EXPECT_NE(message.find("is not a talvane-analytics database"), std::string::npos) << message;
    EXPECT_NE(message.find("received_ms"), std::string::npos) << message;
}

}  // namespace
}  // namespace tvl::analytics
