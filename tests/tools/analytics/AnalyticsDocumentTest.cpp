// The collector's document reader: the forms the engine writes are accepted
// with every figure where it belongs; each kind of hostile or malformed body is
// refused with the right status and nothing read.

#include "tools/talvane-analytics/AnalyticsDocument.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tvl::analytics {
namespace {

const std::string kCounter = R"({"pid":"acme","pkgid":"tool","vid":"1.0.0","metrics":{"numCompletes":"1"},"dimensions":{}})";
const std::string kError =
    R"j({"pid":"deadp","pkgid":"tool","vid":"1","metrics":{"numRetryableErrors":"1"},"dimensions":{"error":"error|2|6|libcurl error 7 (HTTP 0)"}})j";

std::string Node(const std::string& host, const std::string& bytes = "1451452") {
    return R"({"pid":"acme","pkgid":"tool","vid":"1.0.0","metrics":{"bytes":")" + bytes +
           R"(","successBytes":"1451000","firstByteTime":"0.004","requestTime":"0.005","successTime":"0.0051",)"
           R"("numRequests":"4","numErrors":"1","numConnectFailures":"2","numHttpServerErrors":"3",)"
           R"("numConnectionsReset":"5","numDataMismatches":"6","numRequestTimeouts":"7"},"dimensions":{"cdn":")" +
           host + R"("}})";
}

const std::string kTransfer =
    R"({"pid":"acme","pkgid":"tool","vid":"1.0.0","tid":"25f6653e713340acac06c4b1b2e75f01","status":"completed","transferBytes":"2500028","duration":"12.345"})";

TEST(AnalyticsDocument, EveryEventsFormTheEngineWritesIsReadElementByElement) {
    const DocumentReading single = ReadDocument(DocumentKind::Events, kCounter + "\n");
    ASSERT_FALSE(single.refusal) << single.refusal->reason;
    ASSERT_EQ(single.events.size(), 1u);
    EXPECT_EQ(single.events[0].pid, "acme");
    EXPECT_EQ(single.events[0].metric, "numCompletes");
    EXPECT_EQ(single.events[0].count, 1);
    EXPECT_FALSE(single.events[0].node);
    EXPECT_FALSE(single.events[0].error);

    const DocumentReading array =
        ReadDocument(DocumentKind::Events, "[" + kError + "," + Node("a:1") + "," + Node("b:2", "7") + "]\n");
    ASSERT_FALSE(array.refusal) << array.refusal->reason;
    ASSERT_EQ(array.events.size(), 3u);
    EXPECT_EQ(array.events[0].metric, "numRetryableErrors");
    EXPECT_EQ(array.events[0].error, "error|2|6|libcurl error 7 (HTTP 0)");
    for (int i = 1; i < 3; ++i) {
        const EventRecord& node = array.events[i];
        EXPECT_EQ(node.element, i);
        EXPECT_FALSE(node.metric);
        ASSERT_TRUE(node.figures);
        EXPECT_EQ(node.figures->successBytes, 1451000);
        EXPECT_DOUBLE_EQ(node.figures->firstByteTime, 0.004);
        EXPECT_DOUBLE_EQ(node.figures->successTime, 0.0051);
        EXPECT_EQ(node.figures->numRequests, 4);
        EXPECT_EQ(node.figures->numErrors, 1);
        EXPECT_EQ(node.figures->numConnectFailures, 2);
        EXPECT_EQ(node.figures->numHttpServerErrors, 3);
        EXPECT_EQ(node.figures->numConnectionsReset, 5);
        EXPECT_EQ(node.figures->numDataMismatches, 6);
        EXPECT_EQ(node.figures->numRequestTimeouts, 7);
    }
    EXPECT_EQ(array.events[1].node, "a:1");
    EXPECT_EQ(array.events[1].figures->bytes, 1451452);
    EXPECT_EQ(array.events[2].node, "b:2");
    EXPECT_EQ(array.events[2].figures->bytes, 7);

    // A periodic update: nodes only, or nothing at all without node statistics.
    EXPECT_EQ(ReadDocument(DocumentKind::Events, "[" + Node("a:1") + "]").events.size(), 1u);
    const DocumentReading empty = ReadDocument(DocumentKind::Events, "[]\n");
    EXPECT_FALSE(empty.refusal);
    EXPECT_TRUE(empty.events.empty());
}

TEST(AnalyticsDocument, ATransfersPostIsReadWithItsFiguresAndJsonNumbersCountAsWell) {
    const DocumentReading reading = ReadDocument(DocumentKind::Transfers, kTransfer + "\n");
    ASSERT_FALSE(reading.refusal) << reading.refusal->reason;
    ASSERT_EQ(reading.transfers.size(), 1u);
    const TransferRecord& t = reading.transfers[0];
    EXPECT_EQ(t.tid, "25f6653e713340acac06c4b1b2e75f01");
    EXPECT_EQ(t.status, "completed");
    EXPECT_EQ(t.transferBytes, 2500028);
    EXPECT_DOUBLE_EQ(t.duration, 12.345);

    const DocumentReading numbers = ReadDocument(
        DocumentKind::Transfers,
        R"({"pid":"p","pkgid":"k","vid":"?","tid":"t","status":"active","transferBytes":0,"duration":1.5e2})");
    ASSERT_FALSE(numbers.refusal) << numbers.refusal->reason;
    EXPECT_DOUBLE_EQ(numbers.transfers[0].duration, 150.0);
}

struct Hostile {
    const char* name;
    DocumentKind kind;
    std::string body;
    unsigned status;
    const char* reasonPart;
};

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    return text.replace(text.find(from), from.size(), to);
}

TEST(AnalyticsDocument, EveryHostileKindIsRefusedWithItsStatusAndAReasonAndNothingRead) {
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    std::string manyNodes = "[" + kCounter;
    while (manyNodes.size() <= kMaxBodyBytes) {
        manyNodes += "," + Node("n");
    }
    manyNodes += "]";
    const std::vector<Hostile> cases = {
        {"oversized", DocumentKind::Events, manyNodes, 413, "larger than"},
        {"empty body", DocumentKind::Events, "", 400, "not JSON"},
        {"malformed", DocumentKind::Events, kCounter.substr(0, 40), 400, "not JSON"},
        {"trailing garbage", DocumentKind::Transfers, kTransfer + "}", 400, "not JSON"},
        {"stray UTF-8 byte", DocumentKind::Transfers, Replace(kTransfer, "acme", "\x80"), 400, "not JSON"},
        {"overlong UTF-8", DocumentKind::Transfers, Replace(kTransfer, "acme", "\xC0\xAF"), 400, "UTF-8"},
        {"encoded surrogate", DocumentKind::Transfers, Replace(kTransfer, "acme", "\xED\xA0\x80"), 400, "UTF-8"},
        {"escaped NUL", DocumentKind::Transfers, Replace(kTransfer, "acme", "a\\u0000b"), 400, "UTF-8"},
        {"deep nesting", DocumentKind::Events, deep, 400, "nests deeper"},
        {"nesting inside an element", DocumentKind::Events,
         Replace(kCounter, "{}", "{\"error\":[[[[[[[[[[\"x\"]]]]]]]]]]}"), 400, "nests deeper"},
        {"a string at the top", DocumentKind::Events, "\"hello\"", 400, "not an object or an array"},
        {"an array of transfers", DocumentKind::Transfers, "[" + kTransfer + "]", 400, "not an object"},
        {"number where a string goes", DocumentKind::Transfers, Replace(kTransfer, "\"acme\"", "7"), 400,
         "pid is a number"},
        {"object where a figure goes", DocumentKind::Transfers,
         Replace(kTransfer, "\"2500028\"", "{}"), 400, "transferBytes is an object"},
        {"boolean figure", DocumentKind::Events, Replace(kCounter, "\"1\"", "true"), 400, "not a figure"},
        {"metrics not an object", DocumentKind::Events, Replace(kCounter, "{\"numCompletes\":\"1\"}", "[]"), 400,
         "metrics is an array"},
        {"unknown metric", DocumentKind::Events, Replace(kCounter, "numCompletes", "numHacks"), 400,
         "numHacks is not a key"},
        {"two counters", DocumentKind::Events, Replace(kCounter, "\"1\"}", "\"1\",\"numStarts\":\"1\"}"), 400,
         "exactly one counter"},
        {"unknown key", DocumentKind::Transfers, Replace(kTransfer, "\"tid\"", "\"evil\":\"1\",\"tid\""), 400,
         "evil is not a key"},
        {"key twice", DocumentKind::Transfers, Replace(kTransfer, "\"tid\"", "\"pid\":\"x\",\"tid\""), 400,
         "pid is given twice"},
        {"missing key", DocumentKind::Transfers, Replace(kTransfer, "\"vid\":\"1.0.0\",", ""), 400, "vid is missing"},
        {"missing node figure", DocumentKind::Events,
         "[" + kCounter + "," + Replace(Node("a"), "\"numErrors\":\"1\",", "") + "]", 400,
         "element 1: metrics.numErrors is missing"},
        {"negative string", DocumentKind::Transfers, Replace(kTransfer, "\"2500028\"", "\"-5\""), 400, "negative"},
        {"negative number", DocumentKind::Events, "[" + Replace(Node("a"), "\"0.004\"", "-0.5") + "]", 400,
         "firstByteTime is negative"},
        {"fraction in a count", DocumentKind::Events, Replace(kCounter, "\"1\"", "\"1.5\""), 400, "whole"},
        {"count too large", DocumentKind::Transfers, Replace(kTransfer, "2500028", "99999999999999999999"), 400,
         "too large"},
        {"infinite time", DocumentKind::Transfers, Replace(kTransfer, "\"12.345\"", "1e999"), 400, "finite"},
        {"not a number", DocumentKind::Transfers, Replace(kTransfer, "\"12.345\"", "\"NaN\""), 400,
         "not a decimal number"},
        {"hex figure", DocumentKind::Transfers, Replace(kTransfer, "\"12.345\"", "\"0x10\""), 400,
         "not a decimal number"},
        {"long id", DocumentKind::Transfers, Replace(kTransfer, "acme", std::string(kMaxIdBytes + 1, 'a')), 400,
         "longer than"},
        {"unknown status", DocumentKind::Transfers, Replace(kTransfer, "completed", "exploded"), 400, "status"},
        {"node before the counter", DocumentKind::Events, "[" + Node("a") + "," + kCounter + "]", 400,
         "only the first element may be a counter"},
        {"node alone, not in an array", DocumentKind::Events, Node("a"), 400, "in an array"},
        {"error on a plain counter", DocumentKind::Events, Replace(kCounter, "{}", "{\"error\":\"x\"}"), 400,
         "error goes only with an error counter"},
        {"a transfer posted as events", DocumentKind::Events, kTransfer, 400, "not a key"},
        {"events posted as a transfer", DocumentKind::Transfers, kCounter, 400, "not a key"},
    };
    for (const Hostile& hostile : cases) {
        const DocumentReading reading = ReadDocument(hostile.kind, hostile.body);
        ASSERT_TRUE(reading.refusal) << hostile.name;
        EXPECT_EQ(reading.refusal->status, hostile.status) << hostile.name;
        EXPECT_NE(reading.refusal->reason.find(hostile.reasonPart), std::string::npos)
            << hostile.name << ": " << reading.refusal->reason;
        EXPECT_TRUE(reading.events.empty() && reading.transfers.empty()) << hostile.name;
    }
}

TEST(AnalyticsDocument, ANodeListOfSeveralHundredNodesFitsInOnePost) {
    std::string body = "[" + kCounter;
    for (int i = 0; i < 800; ++i) {
        body += "," + Node("node-" + std::to_string(i) + ".downloads.example.com:8080", "18446744073709551");
    }
    body += "]";
    const DocumentReading reading = ReadDocument(DocumentKind::Events, body);
    ASSERT_FALSE(reading.refusal) << reading.refusal->reason << " (" << body.size() << " bytes)";
    EXPECT_EQ(reading.events.size(), 801u);
    EXPECT_EQ(reading.events.back().node, "node-799.downloads.example.com:8080");
}

}  // namespace
}  // namespace tvl::analytics
