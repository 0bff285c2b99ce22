#include <gtest/gtest.h>

#include <sys/resource.h>

#include <boost/property_tree/ptree.hpp>
#include <functional>
#include <set>

#include "engine/events/JsonHttpAnalyticsEventWork.h"
#include "engine/events/JsonHttpAnalyticsManager.h"
#include "engine/events/JsonText.h"
#include "engine/events/NullAnalyticsManager.h"
#include "engine/events/SimpleEventAnalyticsRequest.h"
#include "engine/events/TransferAnalyticsRequest.h"
#include "engine/http/CurlHttpRequestFactory.h"
#include "engine/http/HttpProxy.h"
#include "engine/http/HttpProxyFactory.h"
#include "engine/http/HttpSession.h"
#include "engine/service/TransferParams.h"
#include "tests/support/TemporaryFolder.h"
#include "tools/talvane-cdn/CdnServer.h"

namespace tvl {
namespace {

using boost::property_tree::ptree;
using cdn::CdnEndpoint;
using cdn::CdnFault;

TransferParams Params() {
    TransferParams params;
    params.transferId = "0123456789abcdef0123456789abcdef";
    params.partnerId = "P";
    params.packageId = "K";
    params.versionId = "V";
    params.destPath = "/home/u/Downloads";
    return params;
}

std::string Written(const OutputManifest& request) {
    ptree tree;
    request.Write(tree);
    return JsonText(tree);
}

TEST(AnalyticsDocumentTest, CountingRequestHasOneCounterAndEmptyDimensions) {
    EXPECT_EQ(
        "{\"pid\":\"P\",\"pkgid\":\"K\",\"vid\":\"V\",\"metrics\":{\"numStarts\":\"1\"},\"dimensions\":{}}\n",
        Written(SimpleEventAnalyticsRequest(Params(), "numStarts")));
}

TEST(AnalyticsDocumentTest, ErrorRequestCarriesItsTextUnlessEmpty) {
    EXPECT_EQ(
        "{\"pid\":\"P\",\"pkgid\":\"K\",\"vid\":\"V\",\"metrics\":{\"numFatalErrors\":\"1\"},"
        "\"dimensions\":{\"error\":\"TransferError 12: disk full \\/ \\\"D:\\\\\\\"\"}}\n",
        Written(ErrorAnalyticsRequest(Params(), "numFatalErrors", "TransferError 12: disk full / \"D:\\\"")));
    EXPECT_EQ(
        "{\"pid\":\"P\",\"pkgid\":\"K\",\"vid\":\"V\",\"metrics\":{\"numRetryableErrors\":\"1\"},"
        "\"dimensions\":{}}\n",
        Written(ErrorAnalyticsRequest(Params(), "numRetryableErrors", "")));
}

TEST(AnalyticsDocumentTest, TransferRequestReportsStatusBytesAndSeconds) {
    EXPECT_EQ(
        "{\"pid\":\"P\",\"pkgid\":\"K\",\"vid\":\"V\",\"tid\":\"0123456789abcdef0123456789abcdef\","
        "\"status\":\"active\",\"transferBytes\":\"0\",\"duration\":\"0\"}\n",
        Written(TransferAnalyticsRequest(Params(), TransferState::Transferring, 0, 0)));
    EXPECT_EQ(
        "{\"pid\":\"P\",\"pkgid\":\"K\",\"vid\":\"V\",\"tid\":\"0123456789abcdef0123456789abcdef\","
        "\"status\":\"completed\",\"transferBytes\":\"18446744073709551615\",\"duration\":\"12.345\"}\n",
        Written(TransferAnalyticsRequest(Params(), TransferState::Completed, UINT64_MAX, 12345)));
}

TEST(AnalyticsDocumentTest, OnlyTheThreeEndStatesAreNotActive) {
    const char* expected[] = {"active", "active",    "active",    "active",  "active",
                              "active", "suspended", "completed", "canceled"};
    for (std::uint8_t state = 0; state <= 8; ++state) {
        EXPECT_STREQ(expected[state], TransferAnalyticsRequest::StatusText(state)) << int(state);
    }
    EXPECT_STREQ("active", TransferAnalyticsRequest::StatusText(200));
}

TEST(AnalyticsDocumentTest, DurationIsSecondsWithoutTrailingZeros) {
    EXPECT_EQ("0", TransferAnalyticsRequest::DurationText(0));
    EXPECT_EQ("0.001", TransferAnalyticsRequest::DurationText(1));
    EXPECT_EQ("1", TransferAnalyticsRequest::DurationText(1000));
    EXPECT_EQ("12.345", TransferAnalyticsRequest::DurationText(12345));
    EXPECT_EQ("86400.5", TransferAnalyticsRequest::DurationText(86400500));
    EXPECT_EQ("123456789012.345", TransferAnalyticsRequest::DurationText(123456789012345ull));
    // Past 16 digits the general notation switches to an exponent.
    EXPECT_EQ("1.844674407370955e+16", TransferAnalyticsRequest::DurationText(UINT64_MAX));
}

TEST(AnalyticsDocumentTest, EventsArrayHoldsTheCounterThenFurtherElements) {
    ptree array;
    SimpleEventAnalyticsRequest(Params(), "numCompletes").Write(array.push_back({"", ptree()})->second);
    ErrorAnalyticsRequest(Params(), "numFatalErrors", "x").Write(array.push_back({"", ptree()})->second);
    EXPECT_EQ(
        "[{\"pid\":\"P\",\"pkgid\":\"K\",\"vid\":\"V\",\"metrics\":{\"numCompletes\":\"1\"},\"dimensions\":{}"
        "},"
        "{\"pid\":\"P\",\"pkgid\":\"K\",\"vid\":\"V\",\"metrics\":{\"numFatalErrors\":\"1\"},"
        "\"dimensions\":{\"error\":\"x\"}}]\n",
        JsonText(array));
}

class DirectProxyFactory : public HttpProxyFactory {
  public:
    std::shared_ptr<HttpProxy> Create() override { return std::make_shared<EmptyHttpProxy>(); }
};

// Counts the immediate repetitions of a record and can act before each.
class RetryCounter : public SimpleWorkRetryCallback {
  public:
    void OnSimpleWorkRetry(const std::shared_ptr<const SimpleWork>&, const WorkStatus& status) override {
        ++count;
        EXPECT_EQ(WorkResult::RetryableError, status.result);
        if (beforeRetry) {
            beforeRetry();
        }
    }
    int count = 0;
    std::function<void()> beforeRetry;
};

class AnalyticsPostTest : public ::testing::Test {
  protected:
    AnalyticsPostTest() : requestFactory_(&proxyFactory_) {
        cdn::CdnServerOptions options;
        options.contentRoot = root_.Path();
        options.nodeCount = 1;
        server_ = std::make_unique<cdn::CdnServer>(options);
    }

    std::unique_ptr<JsonHttpAnalyticsManager> Manager(std::uint32_t maxRetries = 1) {
        return std::make_unique<JsonHttpAnalyticsManager>(&requestFactory_, &sessionFactory_,
                                                          server_->EventsUrl(), server_->TransfersUrl(), 10,
                                                          10, maxRetries);
    }

    // Runs one counting record to its end on this thread, as its manager's
    // thread would, and returns the final status.
    WorkStatus RunRecord(JsonHttpAnalyticsManager& manager, RetryCounter* counter) {
        const auto record = manager.CreateRecord(AnalyticsManager::EventsRecord);
        SimpleEventAnalyticsRequest(Params(), "numPauses").Write(record->GetTree());
        record->AddRetryCallback(counter);
        record->Reset();
        return record->Run();
    }

    std::vector<cdn::CdnRequest> Events() const { return server_->Posts(CdnEndpoint::Events()); }
    std::vector<cdn::CdnRequest> Transfers() const { return server_->Posts(CdnEndpoint::Transfers()); }

    test::TemporaryFolder root_;
    std::unique_ptr<cdn::CdnServer> server_;
    DirectProxyFactory proxyFactory_;
    CurlHttpRequestFactory requestFactory_;
    RoundRobinHttpSessionFactory sessionFactory_;
};

TEST_F(AnalyticsPostTest, RecordsArePostedAsJsonToTheirEndpoints) {
    {
        auto manager = Manager();
        const auto counting = manager->CreateRecord(AnalyticsManager::EventsRecord);
        SimpleEventAnalyticsRequest(Params(), "numStarts").Write(counting->GetTree());
        manager->Submit(counting);
        const auto transfer = manager->CreateRecord(AnalyticsManager::TransfersRecord);
        TransferAnalyticsRequest(Params(), TransferState::Transferring, 0, 0).Write(transfer->GetTree());
        manager->Submit(transfer);
        // A periodic report of a transfer without node statistics.
        manager->Submit(manager->CreateRecord(AnalyticsManager::EventsRecord));
    }
    const auto events = Events();
    ASSERT_EQ(2u, events.size());
    std::multiset<std::string> bodies;
    for (const auto& post : events) {
        EXPECT_EQ("POST", post.method);
        EXPECT_EQ("application/json", post.contentType);
        EXPECT_EQ("Brennic Talvane Delivery TransferService 1.2.1", post.userAgent);
        EXPECT_EQ(200u, post.answeredStatus);
        bodies.insert(post.body);
    }
    EXPECT_EQ(
        (std::multiset<std::string>{"[]\n", Written(SimpleEventAnalyticsRequest(Params(), "numStarts"))}),
        bodies);

    const auto transfers = Transfers();
    ASSERT_EQ(1u, transfers.size());
    EXPECT_EQ("application/json", transfers[0].contentType);
    EXPECT_EQ(Written(TransferAnalyticsRequest(Params(), TransferState::Transferring, 0, 0)),
              transfers[0].body);
}

TEST_F(AnalyticsPostTest, AServerErrorIsRetriedOnceAtOnce) {
    server_->SetFault(CdnEndpoint::Events(), CdnFault::WithStatus(503, 1));
    auto manager = Manager();
    RetryCounter counter;
    EXPECT_EQ(WorkResult::Success, RunRecord(*manager, &counter).result);
    EXPECT_EQ(1, counter.count);
    const auto events = Events();
    ASSERT_EQ(2u, events.size());
    EXPECT_EQ(503u, events[0].answeredStatus);
    EXPECT_EQ(200u, events[1].answeredStatus);
    EXPECT_EQ(events[0].body, events[1].body);
}

TEST_F(AnalyticsPostTest, APersistentServerErrorEndsAfterTheRetries) {
    server_->SetFault(CdnEndpoint::Events(), CdnFault::WithStatus(500));
    {
        auto manager = Manager();
        RetryCounter counter;
        const WorkStatus status = RunRecord(*manager, &counter);
        EXPECT_EQ(WorkResult::RetryableError, status.result);
        EXPECT_FALSE(status.retry);
        EXPECT_EQ(1, counter.count);
        EXPECT_EQ(2u, Events().size());
    }
    {
        auto manager = Manager(3);
        RetryCounter counter;
        EXPECT_EQ(WorkResult::RetryableError, RunRecord(*manager, &counter).result);
        EXPECT_EQ(3, counter.count);
        EXPECT_EQ(2u + 4u, Events().size());
    }
}

TEST_F(AnalyticsPostTest, AClientErrorIsNotRetried) {
    server_->SetFault(CdnEndpoint::Events(), CdnFault::WithStatus(404));
    auto manager = Manager();
    RetryCounter counter;
    EXPECT_EQ(WorkResult::Error, RunRecord(*manager, &counter).result);
    EXPECT_EQ(0, counter.count);
    ASSERT_EQ(1u, Events().size());
    EXPECT_EQ(404u, Events()[0].answeredStatus);
}

TEST_F(AnalyticsPostTest, ARefusedConnectionIsRetried) {
    server_->SetFault(CdnEndpoint::Events(), CdnFault::Refused());
    auto manager = Manager();
    {
        RetryCounter counter;
        EXPECT_EQ(WorkResult::RetryableError, RunRecord(*manager, &counter).result);
        EXPECT_EQ(1, counter.count);
        EXPECT_TRUE(Events().empty());
    }
    {
        // The server comes back between the two attempts: the repetition delivers.
        RetryCounter counter;
        counter.beforeRetry = [this] { server_->ClearFaults(); };
        EXPECT_EQ(WorkResult::Success, RunRecord(*manager, &counter).result);
        EXPECT_EQ(1, counter.count);
        ASSERT_EQ(1u, Events().size());
        EXPECT_EQ(Written(SimpleEventAnalyticsRequest(Params(), "numPauses")), Events()[0].body);
    }
}

// Nothing reads an answer, so its bytes are dropped as they come: a server
// answering at length costs no memory.
TEST_F(AnalyticsPostTest, ALongAnswerIsDroppedAsItArrives) {
    constexpr std::uint64_t kAnswerBytes = 256ull << 20;
    server_->SetFault(CdnEndpoint::Events(), CdnFault::LongerBody(kAnswerBytes, 1));
    const auto peakBytes = [] {
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        return static_cast<std::uint64_t>(usage.ru_maxrss) * 1024;
    };
    const std::uint64_t before = peakBytes();
    auto manager = Manager();
    RetryCounter counter;
    EXPECT_EQ(WorkResult::Success, RunRecord(*manager, &counter).result);
    ASSERT_EQ(1u, Events().size());
    EXPECT_EQ(200u, Events()[0].answeredStatus);
    EXPECT_LT(peakBytes() - before, kAnswerBytes / 8);
}

TEST_F(AnalyticsPostTest, ATreeThatIsNotJsonIsNotPosted) {
    auto manager = Manager();
    const auto record = manager->CreateRecord(AnalyticsManager::EventsRecord);
    record->GetTree().put_value("not a document");
    record->Reset();
    EXPECT_EQ(WorkResult::Error, record->Run().result);
    EXPECT_TRUE(Events().empty());
}

TEST_F(AnalyticsPostTest, DestructionPostsEveryRecordAlreadySubmitted) {
    constexpr int kRecords = 24;
    {
        auto manager = Manager();
        for (int i = 0; i < kRecords; ++i) {
            const auto record = manager->CreateRecord(i % 2 ? AnalyticsManager::TransfersRecord
                                                            : AnalyticsManager::EventsRecord);
            record->GetTree().put("n", i);
            manager->Submit(record);
        }
    }
    EXPECT_EQ(static_cast<std::size_t>(kRecords / 2), Events().size());
    EXPECT_EQ(static_cast<std::size_t>(kRecords / 2), Transfers().size());
}

TEST_F(AnalyticsPostTest, TheNullManagerSendsNothingAndReleasesItsRecords) {
    auto poster = Manager();
    std::weak_ptr<TrackEventWork> held;
    NullAnalyticsManager manager;
    {
        const auto record = manager.CreateRecord(AnalyticsManager::EventsRecord);
        ASSERT_NE(nullptr, dynamic_cast<NullTrackEventWork*>(record.get()));
        EXPECT_EQ(WorkResult::Success, record->Run().result);
        manager.Submit(record);
        // Even a record that would post is never run by it.
        const auto posting = poster->CreateRecord(AnalyticsManager::EventsRecord);
        posting->GetTree().put("n", "1");
        manager.Submit(posting);
        held = posting;
    }
    EXPECT_TRUE(held.expired()) << "a submitted record must not outlive its submission";
    poster.reset();
    EXPECT_TRUE(Events().empty());
}

}  // namespace
}  // namespace tvl
