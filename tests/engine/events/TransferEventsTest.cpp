#include "engine/events/TransferEvents.h"

#include <gtest/gtest.h>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <mutex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "engine/events/AnalyticsManager.h"
#include "engine/events/JsonText.h"
#include "engine/manifest/ManifestParsing.h"
#include "engine/manifest/NodeManifest.h"
#include "engine/service/TransferEventRecord.h"
#include "engine/service/TransferStatusImpl.h"
#include "engine/service/TransferWorkInterface.h"
#include "engine/work/TrackEventWork.h"
#include "engine/workflow/TransferStatusData.h"
#include "tests/support/FakeTransferWorkInterface.h"

namespace tvl {
namespace {

using boost::property_tree::ptree;

// What the events hand to a manager, in the order they were submitted: the
// record kind and the record's JSON text.
struct Submitted {
    std::int32_t kind;
    std::string text;
    bool operator==(const Submitted& other) const { return kind == other.kind && text == other.text; }
};

std::ostream& operator<<(std::ostream& out, const Submitted& submitted) {
    return out << submitted.kind << ": " << submitted.text;
}

class KeptRecord : public TrackEventWork {
  public:
    explicit KeptRecord(std::int32_t kind) : TrackEventWork(kind) {}

  protected:
    WorkStatus ExecuteTask() override { return WorkStatus(WorkResult::Success); }
};

// Keeps every submitted record instead of running it.
class RecordingManager : public AnalyticsManager {
  public:
    RecordingManager() : AnalyticsManager(0, false) {}

    std::shared_ptr<TrackEventWork> CreateRecord(std::int32_t kind) override {
        return std::make_shared<KeptRecord>(kind);
    }
    void Submit(const std::shared_ptr<SimpleWork>& record) override {
        const auto kept = std::dynamic_pointer_cast<TrackEventWork>(record);
        ASSERT_TRUE(kept);
        std::lock_guard<std::mutex> lock(mutex_);
        submitted_.push_back({kept->GetKind(), JsonText(kept->GetTree())});
    }
    // What was submitted since the previous call.
    std::vector<Submitted> Take() {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::exchange(submitted_, {});
    }

  private:
    std::mutex mutex_;
    std::vector<Submitted> submitted_;
};

using test::FakeTransfer;

const char kParams[] =
    R"({"transferId":"0123456789abcdef0123456789abcdef","partnerId":"P","packageId":"K","versionId":"V",)"
    R"("destPath":"dest"})";

std::string Counter(const std::string& key) {
    return R"({"pid":"P","pkgid":"K","vid":"V","metrics":{")" + key + R"(":"1"},"dimensions":{}})";
}

std::string TransferDocument(const std::string& status, const std::string& bytes,
                             const std::string& seconds) {
    return R"({"pid":"P","pkgid":"K","vid":"V","tid":"0123456789abcdef0123456789abcdef","status":")" +
           status + R"(","transferBytes":")" + bytes + R"(","duration":")" + seconds + "\"}\n";
}

std::string Log(const std::string& event) {
    return R"({"event":")" + event + R"(","params":)" + kParams + "}\n";
}

// For each element of an events array, its first metric's key, or the "cdn"
// dimension of a node's element.
std::vector<std::string> ElementsOf(const std::string& text) {
    std::istringstream in(text);
    ptree array;
    boost::property_tree::read_json(in, array);
    std::vector<std::string> elements;
    for (const auto& element : array) {
        EXPECT_EQ(element.first, "") << text;
        const std::string cdn = element.second.get("dimensions.cdn", "");
        elements.push_back(cdn.empty() ? element.second.get_child("metrics").front().first : "cdn " + cdn);
    }
    return elements;
}

class TransferEventsTest : public ::testing::Test {
  protected:
    TransferEventsTest() {
        transfer->params.transferId = "0123456789abcdef0123456789abcdef";
        transfer->params.partnerId = "P";
        transfer->params.packageId = "K";
        transfer->params.versionId = "V";
        transfer->params.destPath = "dest";
        transfer->behavior.logManager = &log;
        transfer->behavior.analyticsManager = &analytics;
    }

    void UseNodes() {
        std::istringstream in(
            R"(<ArrayOfNodeInfo><NodeInfo NodeId="1" Host="one.example"/><NodeInfo NodeId="2" Host="two.example:8080"/>)"
            R"(<NodeInfo NodeId="3" Host="three.example"/></ArrayOfNodeInfo>)");
        ptree tree;
        ParseXmlManifest(in, tree);
        auto list = std::make_shared<StandardNodeListManifest>();
        list->Read(tree);
        transfer->nodeList = list;
    }

    void Accumulate(std::uint64_t bytes, std::uint64_t ms) {
        progress->AddDownloaded(bytes);
        progress->TransferTimeMs().Add(ms);
    }

    void Fire(TransferEventKind kind, TransferState state, const std::string& error = "") {
        TransferEventRecord record(kind);
        record.status.state = static_cast<std::uint8_t>(state);
        record.transfer = transfer;
        record.progress = progress;
        if (!error.empty()) {
            record.detail = CreateTransferErrorData(TransferError(12), error);
        }
        FireTransferEvent(record);
    }

    RecordingManager log;
    RecordingManager analytics;
    std::shared_ptr<FakeTransfer> transfer = std::make_shared<FakeTransfer>();
    std::shared_ptr<TransferStatusImpl> progress =
        std::make_shared<TransferStatusImpl>(&transfer->params, 1, 1000);
};

TEST_F(TransferEventsTest, StateReportsCarryWhatAccumulatedSinceTheLastReportThatTookIt) {
    Accumulate(1000, 2500);
    Fire(TransferEventKind::PeriodicUpdate, TransferState::Transferring);
    EXPECT_EQ(log.Take(), (std::vector<Submitted>{{1, Log("PeriodicUpdate")}}));
    EXPECT_EQ(analytics.Take(),
              (std::vector<Submitted>{{32, TransferDocument("active", "1000", "2.5")}, {1, "[]\n"}}))
        << "without a node list the events endpoint gets an empty array";

    Accumulate(24, 500);
    Fire(TransferEventKind::PeriodicUpdate, TransferState::TransferringPaused);
    EXPECT_EQ(analytics.Take(),
              (std::vector<Submitted>{{32, TransferDocument("active", "24", "0.5")}, {1, "[]\n"}}));

    // Events that are no reports leave the counters alone.
    Accumulate(6, 250);
    Fire(TransferEventKind::Pause, TransferState::TransferringPaused);
    Fire(TransferEventKind::Resume, TransferState::Transferring);
    Fire(TransferEventKind::Start, TransferState::Transferring);
    EXPECT_EQ(analytics.Take(), (std::vector<Submitted>{{1, Counter("numPauses") + "\n"},
                                                        {1, Counter("numResumes") + "\n"},
                                                        {1, Counter("numStarts") + "\n"},
                                                        {32, TransferDocument("active", "0", "0")}}));

    Fire(TransferEventKind::RetryableError, TransferState::Transferring, "timed out");
    EXPECT_EQ(analytics.Take(),
              (std::vector<Submitted>{
                  {32, TransferDocument("active", "6", "0.25")},
                  {1, R"([{"pid":"P","pkgid":"K","vid":"V","metrics":{"numRetryableErrors":"1"},)"
                      R"("dimensions":{"error":"error|12|timed out"}}])"
                      "\n"}}));
    Fire(TransferEventKind::RetryableError, TransferState::Transferring, "timed out");
    const auto again = analytics.Take();
    ASSERT_EQ(again.size(), 1u) << "nothing accumulated since the previous error: no transfers record";
    EXPECT_EQ(again[0].kind, 1);

    Accumulate(70, 1000);
    Fire(TransferEventKind::Complete, TransferState::Completed);
    const auto end = analytics.Take();
    ASSERT_EQ(end.size(), 2u);
    EXPECT_EQ(end[0], (Submitted{32, TransferDocument("completed", "70", "1")}));
    EXPECT_EQ(log.Take().back(), (Submitted{1, Log("Complete")}));
    EXPECT_EQ(1000u + 24 + 6 + 70, progress->BytesDownloaded().Value()) << "reports add up to the total";
}

TEST_F(TransferEventsTest, EventArraysPutTheirOwnElementFirstThenEveryNodeInListOrder) {
    UseNodes();
    const std::vector<std::string> nodes = {"cdn one.example", "cdn two.example:8080", "cdn three.example"};
    struct Case {
        TransferEventKind kind;
        TransferState state;
        const char* status;  // of the transfers record; none when empty
        const char* first;   // the array's own element; none when empty
    };
    const Case cases[] = {
        {TransferEventKind::Complete, TransferState::Completed, "completed", "numCompletes"},
        {TransferEventKind::Cancel, TransferState::Canceled, "canceled", "numCancels"},
        {TransferEventKind::Suspend, TransferState::Suspended, "suspended", "numSuspends"},
        {TransferEventKind::FatalError, TransferState::Transferring, "active", "numFatalErrors"},
        {TransferEventKind::RetryableError, TransferState::Initializing, "active", "numRetryableErrors"},
        {TransferEventKind::PeriodicUpdate, TransferState::Transferring, "active", ""},
    };
    for (const Case& c : cases) {
        Accumulate(1, 1);
        Fire(c.kind, c.state, "broken");
        const auto submitted = analytics.Take();
        ASSERT_EQ(submitted.size(), 2u) << c.status << " " << c.first;
        EXPECT_EQ(submitted[0], (Submitted{32, TransferDocument(c.status, "1", "0.001")}));
        EXPECT_EQ(submitted[1].kind, 1);
        std::vector<std::string> expected = nodes;
        if (*c.first != '\0') {
            expected.insert(expected.begin(), c.first);
        }
        EXPECT_EQ(ElementsOf(submitted[1].text), expected) << submitted[1].text;
    }
}

TEST_F(TransferEventsTest, DestinationChecksLogArgumentsAndResultAndTheFailureOnlyWhenTheyFail) {
    auto check = [&](TransferEventKind kind, bool returned, bool option, const std::string& failure,
                     bool hasActualSize = false) {
        TransferEventRecord record(kind);
        record.transfer = transfer;
        record.progress = progress;
        record.destPath = "dest";
        record.returned = returned;
        record.option = option;
        record.failure = failure;
        record.hasActualSize = hasActualSize;
        record.actualSize = 1024;
        record.allocatedSpace = 10;
        record.availableSpace = 20;
        record.transferSize = 30;
        FireTransferEvent(record);
        const auto lines = log.Take();
        return lines.size() == 1 && lines[0].kind == 1 ? lines[0].text : "not one log record";
    };
    const std::string params = std::string(R"(,"params":)") + kParams;
    EXPECT_EQ(check(TransferEventKind::IsSubset, true, true, ""),
              R"({"event":"IsSubset")" + params +
                  R"(,"returned":"true","data":{"destPath":"dest","confirmSize":"true"}})"
                  "\n");
    EXPECT_EQ(
        check(TransferEventKind::IsSubset, false, false, "dest/a.bin"),
        R"({"event":"IsSubset")" + params +
            R"(,"returned":"false","data":{"destPath":"dest","confirmSize":"false","failure":"dest\/a.bin"}})"
            "\n")
        << "a missing file has no size";
    EXPECT_EQ(
        check(TransferEventKind::IsSubset, false, true, "dest/a.bin", true),
        R"({"event":"IsSubset")" + params +
            R"(,"returned":"false","data":{"destPath":"dest","confirmSize":"true","failure":"dest\/a.bin",)"
            R"("actualSize":"1024"}})"
            "\n");
    EXPECT_EQ(check(TransferEventKind::IsSuperset, true, true, ""),
              R"({"event":"IsSuperset")" + params +
                  R"(,"returned":"true","data":{"destPath":"dest","ignoreHidden":"true"}})"
                  "\n");
    EXPECT_EQ(
        check(TransferEventKind::IsSuperset, false, false, "dest/extra"),
        R"({"event":"IsSuperset")" + params +
            R"(,"returned":"false","data":{"destPath":"dest","ignoreHidden":"false","failure":"dest\/extra"}})"
            "\n");
    EXPECT_EQ(
        check(TransferEventKind::CanTransferTo, false, false, ""),
        R"({"event":"CanTransferTo")" + params +
            R"(,"returned":"false","data":{"destPath":"dest","allocatedSpace":"10","availableSpace":"20",)"
            R"("transferSize":"30"}})"
            "\n");
    EXPECT_TRUE(analytics.Take().empty()) << "destination checks send no analytics";
}

}  // namespace
}  // namespace tvl
