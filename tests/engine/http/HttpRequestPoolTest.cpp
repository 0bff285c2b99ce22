#include "engine/http/RoundRobinHttpRequestPool.h"

#include <gtest/gtest.h>

#include <future>

#include "engine/http/CurlHttpRequest.h"
#include "engine/http/CurlHttpRequestFactory.h"
#include "engine/http/HttpSession.h"
#include "engine/http/PooledHttpRequestWrapper.h"
#include "tests/engine/http/HttpTestSupport.h"

namespace tvl {
namespace {

// A request whose re-arm can be refused, recording what it was re-armed with.
class FakeRequest : public HttpRequest {
  public:
    FakeRequest() : HttpRequest(HttpRequestParams("", nullptr), "") {}
    HttpRequestStatus Execute() override { return {HttpRequestResult::Success, 0}; }
    HttpRequestStatus GetStatus() override { return {}; }
    void Cancel() override { ++cancels; }
    bool Reset(const HttpRequestParams& params, const std::string& proxy) override {
        if (refuseReset) {
            return false;
        }
        lastUrl = params.url;
        lastProxy = proxy;
        return true;
    }

    bool refuseReset = false;
    int cancels = 0;
    std::string lastUrl;
    std::string lastProxy;
};

HttpRequestParams ParamsFor(const std::string& url) {
    return HttpRequestParams(url, nullptr);
}

TEST(RoundRobinHttpRequestPool, HandsOutReleasedRequestsOldestFirstAndReArmsThem) {
    RoundRobinHttpRequestPool pool;
    auto a = std::make_shared<FakeRequest>();
    auto b = std::make_shared<FakeRequest>();
    pool.Add(a, false);
    pool.Add(b, false);
    EXPECT_EQ(pool.Get(ParamsFor("u"), ""), nullptr);  // both in use
    pool.Release(a);
    pool.Release(b);
    EXPECT_EQ(pool.Get(ParamsFor("first"), "proxy:1"), a);
    EXPECT_EQ(pool.Get(ParamsFor("second"), ""), b);
    EXPECT_EQ(pool.Get(ParamsFor("third"), ""), nullptr);
    EXPECT_EQ(a->lastUrl, "first");
    EXPECT_EQ(a->lastProxy, "proxy:1");
    EXPECT_EQ(b->lastUrl, "second");
}

TEST(RoundRobinHttpRequestPool, ARequestReleasedTwiceIsQueuedOnce) {
    RoundRobinHttpRequestPool pool;
    auto a = std::make_shared<FakeRequest>();
    pool.Add(a, true);
    pool.Add(a, true);
    pool.Release(a);
    EXPECT_EQ(pool.Get(ParamsFor("u"), ""), a);
    EXPECT_EQ(pool.Get(ParamsFor("u"), ""), nullptr);
}

TEST(RoundRobinHttpRequestPool, AddingAKnownRequestDoesNotChangeItsAvailability) {
    RoundRobinHttpRequestPool pool;
    auto a = std::make_shared<FakeRequest>();
    pool.Add(a, false);
    pool.Add(a, true);
    EXPECT_EQ(pool.Get(ParamsFor("u"), ""), nullptr);
}

TEST(RoundRobinHttpRequestPool, RequestsWhoseReArmIsRefusedAreForgotten) {
    RoundRobinHttpRequestPool pool;
    auto busy = std::make_shared<FakeRequest>();
    auto idle = std::make_shared<FakeRequest>();
    busy->refuseReset = true;
    pool.Add(busy, true);
    pool.Add(idle, true);
    EXPECT_EQ(pool.Get(ParamsFor("u"), ""), idle);
    busy->refuseReset = false;
    pool.Release(busy);  // forgotten: not queued again
    EXPECT_EQ(pool.Get(ParamsFor("u"), ""), nullptr);
    pool.Release(idle);
    EXPECT_EQ(pool.Get(ParamsFor("u"), ""), idle);

    auto only = std::make_shared<FakeRequest>();
    only->refuseReset = true;
    RoundRobinHttpRequestPool single;
    single.Add(only, true);
    EXPECT_EQ(single.Get(ParamsFor("u"), ""), nullptr);
}

TEST(RoundRobinHttpRequestPool, ReleasingAnUnknownRequestIsIgnored) {
    RoundRobinHttpRequestPool pool;
    pool.Release(std::make_shared<FakeRequest>());
    EXPECT_EQ(pool.Get(ParamsFor("u"), ""), nullptr);
}

TEST(PooledHttpRequestWrapper, ForwardsAndReturnsTheRequestWhenDropped) {
    auto pool = std::make_shared<RoundRobinHttpRequestPool>();
    auto request = std::make_shared<FakeRequest>();
    pool->Add(request, false);
    {
        PooledHttpRequestWrapper wrapper(request, pool);
        wrapper.Cancel();
        EXPECT_EQ(request->cancels, 1);
        EXPECT_TRUE(wrapper.Reset(ParamsFor("again"), "p:2"));
        EXPECT_EQ(request->lastUrl, "again");
        EXPECT_EQ(pool->Get(ParamsFor("u"), ""), nullptr);
    }
    EXPECT_EQ(pool->Get(ParamsFor("u"), ""), request);
}

TEST(PooledHttpRequestWrapper, KeepsThePoolAliveUntilItReturnsTheRequest) {
    auto pool = std::make_shared<RoundRobinHttpRequestPool>();
    std::weak_ptr<HttpRequestPool> weakPool = pool;
    auto request = std::make_shared<FakeRequest>();
    pool->Add(request, false);
    auto wrapper = std::make_unique<PooledHttpRequestWrapper>(request, pool);
    pool.reset();
    EXPECT_FALSE(weakPool.expired());
    wrapper.reset();
    EXPECT_TRUE(weakPool.expired());
}

// Counts the requests it creates.
class CountingFactory : public CurlHttpRequestFactory {
  public:
    using CurlHttpRequestFactory::CurlHttpRequestFactory;
    std::shared_ptr<HttpRequest> Create(const HttpRequestParams& params, const std::string& proxy) override {
        ++created;
        return CurlHttpRequestFactory::Create(params, proxy);
    }
    int created = 0;
};

TEST(HttpSession, PooledRequestsAreReusedAndShareOneDiscoveredProxy) {
    test::HttpServerFixture cdn;
    test::FixedHttpProxyFactory proxies;
    CountingFactory factory(&proxies);
    RoundRobinHttpSessionFactory sessions;
    const std::shared_ptr<HttpSession> session = sessions.Create();
    ASSERT_NE(session->GetPool(), nullptr);
    EXPECT_EQ(session->GetProxy(), nullptr);

    test::CollectingWriter first;
    test::CollectingWriter second;
    HttpRequestParams params(cdn.NodeUrl(), &first);
    params.rangeEnd = 99;
    {
        auto a = factory.CreateRequest(params, session);
        auto b = factory.CreateRequest(params, session);  // a is in use
        EXPECT_NE(dynamic_cast<PooledHttpRequestWrapper*>(a.get()), nullptr);
        EXPECT_EQ(a->Execute().result, HttpRequestResult::Success);
        EXPECT_EQ(factory.created, 2);
    }
    HttpRequestParams next(cdn.NodeUrl(), &second);
    next.rangeStart = 100;
    next.rangeEnd = 199;
    auto reused = factory.CreateRequest(next, session);
    EXPECT_EQ(factory.created, 2);
    EXPECT_EQ(reused->GetStatus().result, HttpRequestResult::NotStarted);
    EXPECT_EQ(reused->Execute().result, HttpRequestResult::Success);
    EXPECT_EQ(second.body, cdn.FileContent().substr(100, 100));
    EXPECT_EQ(first.body, cdn.FileContent().substr(0, 100));
    EXPECT_EQ(proxies.created, 1);
    EXPECT_NE(session->GetProxy(), nullptr);
}

TEST(HttpSession, ARequestStillPerformingIsForgottenNotHandedOut) {
    test::HttpServerFixture cdn;
    test::BlockingWriter blocking;
    HttpRequestParams params(cdn.NodeUrl(), &blocking);
    auto pool = std::make_shared<RoundRobinHttpRequestPool>();
    auto request = std::make_shared<CurlHttpRequest>(params, "");
    pool->Add(request, false);
    auto execution = std::async(std::launch::async, [request] { return request->Execute(); });
    ASSERT_TRUE(blocking.WaitUntilWriting());
    // A cancelled request is given back before the library has returned.
    request->Cancel();
    pool->Release(request);
    test::CollectingWriter writer;
    EXPECT_EQ(pool->Get(HttpRequestParams(cdn.NodeUrl(), &writer), ""), nullptr);
    blocking.Release();
    ASSERT_EQ(execution.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(execution.get().result, HttpRequestResult::Aborted);
    pool->Release(request);  // forgotten for good
    EXPECT_EQ(pool->Get(HttpRequestParams(cdn.NodeUrl(), &writer), ""), nullptr);
}

}  // namespace
}  // namespace tvl
