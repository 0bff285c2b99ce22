#include "engine/http/CurlHttpRequest.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <sstream>
#include <thread>

#include "engine/http/CurlHttpRequestFactory.h"
#include "engine/http/HttpStringstreamWriter.h"
#include "tests/engine/http/HttpTestSupport.h"
#include "tests/support/ScopedEnvironment.h"

namespace tvl {
namespace {

using cdn::CdnEndpoint;
using cdn::CdnFault;
using Clock = std::chrono::steady_clock;

class CurlHttpRequestTest : public ::testing::Test {
  protected:
    HttpRequestParams Params(const std::string& url) {
        HttpRequestParams params(url, &writer_);
        params.connectTimeoutSeconds = 2;
        params.timeoutSeconds = 10;
        return params;
    }

    HttpRequestStatus Run(const HttpRequestParams& params, const std::string& proxy = std::string()) {
        CurlHttpRequest request(params, proxy);
        return request.Execute();
    }

    std::size_t NodeRequests() { return cdn_.Server().Requests(CdnEndpoint::Node(0)).size(); }

    test::HttpServerFixture cdn_;
    test::CollectingWriter writer_;
};

TEST_F(CurlHttpRequestTest, GetDeliversTheWholeBodyWithCodeAddressAndUserAgent) {
    const HttpRequestStatus status = Run(Params(cdn_.NodeUrl()));
    EXPECT_EQ(status.result, HttpRequestResult::Success);
    EXPECT_EQ(status.responseCode, 200u);
    EXPECT_EQ(status.ip, "127.0.0.1");
    EXPECT_EQ(status.errorDetails, "");
    EXPECT_EQ(status.bytesWritten, cdn_.FileContent().size());
    EXPECT_EQ(writer_.body, cdn_.FileContent());
    EXPECT_LE(status.firstByteTimeMs, status.requestTimeMs);
    const auto requests = cdn_.Server().Requests(CdnEndpoint::Node(0));
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].userAgent, "Brennic Talvane Delivery TransferService 1.2.1");
    EXPECT_EQ(requests[0].range, "");
}

TEST_F(CurlHttpRequestTest, RangedGetAsksForInclusiveBoundsAndNeverForEncodings) {
    HttpRequestParams params = Params(cdn_.NodeUrl());
    params.rangeStart = 1000;
    params.rangeEnd = 1999;
    params.acceptEncoding = "gzip";
    const HttpRequestStatus status = Run(params);
    EXPECT_EQ(status.result, HttpRequestResult::Success);
    EXPECT_EQ(status.responseCode, 206u);
    EXPECT_EQ(status.bytesWritten, 1000u);
    EXPECT_EQ(writer_.body, cdn_.FileContent().substr(1000, 1000));
    const auto requests = cdn_.Server().Requests(CdnEndpoint::Node(0));
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].range, "bytes=1000-1999");
    EXPECT_EQ(requests[0].acceptEncoding, "");
}

TEST_F(CurlHttpRequestTest, RangeFromZeroIsStillARange) {
    HttpRequestParams params = Params(cdn_.NodeUrl());
    params.rangeEnd = 9;
    EXPECT_EQ(Run(params).result, HttpRequestResult::Success);
    EXPECT_EQ(writer_.body, cdn_.FileContent().substr(0, 10));
    EXPECT_EQ(cdn_.Server().Requests(CdnEndpoint::Node(0)).at(0).range, "bytes=0-9");
}

TEST_F(CurlHttpRequestTest, AcceptEncodingIsSentWithoutARange) {
    HttpRequestParams params = Params(cdn_.NodeUrl());
    params.acceptEncoding = "identity";
    EXPECT_EQ(Run(params).result, HttpRequestResult::Success);
    EXPECT_EQ(cdn_.Server().Requests(CdnEndpoint::Node(0)).at(0).acceptEncoding, "identity");
}

TEST_F(CurlHttpRequestTest, PostSendsBodyWithItsContentType) {
    HttpRequestParams params = Params(cdn_.Server().EventsUrl());
    params.method = HttpRequestParams::Post;
    params.postData = std::string(3000, 'j') + "{\"kind\":1}";
    params.contentType = "application/json";
    const HttpRequestStatus status = Run(params);
    EXPECT_EQ(status.result, HttpRequestResult::Success);
    EXPECT_EQ(status.responseCode, 200u);

    HttpRequestParams plain = Params(cdn_.Server().EventsUrl());
    plain.method = HttpRequestParams::Post;
    plain.postData = "a=1";
    EXPECT_EQ(Run(plain).result, HttpRequestResult::Success);

    const auto posts = cdn_.Server().Posts(CdnEndpoint::Events());
    ASSERT_EQ(posts.size(), 2u);
    EXPECT_EQ(posts[0].body, params.postData);
    EXPECT_EQ(posts[0].contentType, "application/json");
    EXPECT_EQ(posts[1].body, "a=1");
    EXPECT_EQ(posts[1].contentType, "application/x-www-form-urlencoded");
}

TEST_F(CurlHttpRequestTest, HttpErrorsAreClassifiedByResponseCode) {
    const HttpRequestStatus missing = Run(Params(cdn_.NodeUrl("/packages/p/k/1/absent.bin")));
    EXPECT_EQ(missing.result, HttpRequestResult::HttpClientError);
    EXPECT_EQ(missing.responseCode, 404u);
    EXPECT_EQ(missing.errorDetails, "libcurl error 22 (HTTP 404)");
    EXPECT_EQ(missing.bytesWritten, 0u);

    cdn_.Server().SetFault(CdnEndpoint::Node(0), CdnFault::WithStatus(503));
    const HttpRequestStatus unavailable = Run(Params(cdn_.NodeUrl()));
    EXPECT_EQ(unavailable.result, HttpRequestResult::HttpServerError);
    EXPECT_EQ(unavailable.responseCode, 503u);
    EXPECT_EQ(unavailable.errorDetails, "libcurl error 22 (HTTP 503)");
    EXPECT_EQ(writer_.body, "");
}

TEST_F(CurlHttpRequestTest, ConnectionFailuresAreClassified) {
    cdn_.Server().SetFault(CdnEndpoint::Node(0), CdnFault::Refused());
    const HttpRequestStatus refused = Run(Params(cdn_.NodeUrl()));
    EXPECT_EQ(refused.result, HttpRequestResult::ConnectFailure);
    EXPECT_EQ(refused.errorDetails, "libcurl error 7 (HTTP 0)");
    cdn_.Server().ClearFaults();

    cdn_.Server().SetFault(CdnEndpoint::Node(0), CdnFault::ResetAfterBytes(5000));
    const HttpRequestStatus reset = Run(Params(cdn_.NodeUrl()));
    EXPECT_EQ(reset.result, HttpRequestResult::ConnectionReset);
    EXPECT_EQ(reset.errorDetails, "libcurl error 56 (HTTP 200)");
    EXPECT_LE(reset.bytesWritten, 5000u);
    EXPECT_EQ(writer_.body, cdn_.FileContent().substr(0, writer_.body.size()));
}

TEST_F(CurlHttpRequestTest, TlsFailuresAreConnectFailuresWithTheLibrarysWords) {
    // An https request to a server that speaks plain http fails its handshake.
    std::string url = cdn_.NodeUrl();
    ASSERT_EQ(url.rfind("http://", 0), 0u);
    url.insert(4, "s");
    test::ScopedEnvironment environment;
    environment.Unset("SSL_CERT_FILE");
    environment.Unset("SSL_CERT_DIR");
    const HttpRequestStatus handshake = Run(Params(url));
    EXPECT_EQ(handshake.result, HttpRequestResult::ConnectFailure);
    const std::string prefix = "libcurl error 35 (HTTP 0): ";
    EXPECT_EQ(handshake.errorDetails.rfind(prefix, 0), 0u) << handshake.errorDetails;
    EXPECT_GT(handshake.errorDetails.size(), prefix.size()) << "the library's text follows the code";
    EXPECT_EQ(writer_.body, "");

    // A trust store named the way OpenSSL's programs take it is the one used:
    // one that cannot be read is the library's error for a bad store.
    environment.Set("SSL_CERT_FILE", "/nonexistent/talvane-test-ca.pem");
    const HttpRequestStatus store = Run(Params(url));
    EXPECT_EQ(store.result, HttpRequestResult::ConnectFailure);
    EXPECT_EQ(store.errorDetails.rfind("libcurl error 77 (HTTP 0): ", 0), 0u) << store.errorDetails;

    environment.Set("SSL_CERT_FILE", "");
    EXPECT_EQ(Run(Params(url)).errorDetails.rfind(prefix, 0), 0u) << "an empty value names no store";

    // Plain failures keep their short form.
    environment.Unset("SSL_CERT_FILE");
    cdn_.Server().SetFault(CdnEndpoint::Node(0), CdnFault::Refused());
    EXPECT_EQ(Run(Params(cdn_.NodeUrl())).errorDetails, "libcurl error 7 (HTTP 0)");
}

TEST_F(CurlHttpRequestTest, ShortBodyIsADataMismatch) {
    cdn_.Server().SetFault(CdnEndpoint::Node(0), CdnFault::TruncatedAfter(100));
    HttpRequestParams params = Params(cdn_.NodeUrl());
    params.rangeStart = 0;
    params.rangeEnd = 999;
    const HttpRequestStatus status = Run(params);
    EXPECT_EQ(status.result, HttpRequestResult::DataMismatch);
    EXPECT_EQ(status.errorDetails, "libcurl error 18 (HTTP 206)");
    EXPECT_EQ(status.bytesWritten, 100u);
}

TEST_F(CurlHttpRequestTest, StalledBodyTimesOutWithinTheLimits) {
    cdn_.Server().SetFault(CdnEndpoint::Node(0), CdnFault::StalledAfter(10));
    HttpRequestParams params = Params(cdn_.NodeUrl());
    params.connectTimeoutSeconds = 1;
    params.timeoutSeconds = 1;
    const auto start = Clock::now();
    const HttpRequestStatus status = Run(params);
    const auto elapsed = Clock::now() - start;
    EXPECT_EQ(status.result, HttpRequestResult::RequestTimeout);
    EXPECT_EQ(status.errorDetails, "libcurl error 28 (HTTP 200)");
    EXPECT_EQ(status.bytesWritten, 10u);
    EXPECT_GE(status.requestTimeMs, 900u);
    EXPECT_LE(status.requestTimeMs, 2000u);  // connect plus total limit
    EXPECT_LT(elapsed, std::chrono::seconds(4));
}

TEST_F(CurlHttpRequestTest, LowSpeedLimitEndsAStalledBody) {
    cdn_.Server().SetFault(CdnEndpoint::Node(0), CdnFault::StalledAfter(0));
    HttpRequestParams params = Params(cdn_.NodeUrl());
    params.lowSpeedLimit = 1000;
    params.lowSpeedTimeSeconds = 1;
    const auto start = Clock::now();
    EXPECT_EQ(Run(params).result, HttpRequestResult::RequestTimeout);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(4));
}

TEST_F(CurlHttpRequestTest, MeasuredTimesAreCappedByTheLimits) {
    // About 1.6 s of body with no total limit: the connect limit alone caps the figures.
    cdn_.Server().SetFault(CdnEndpoint::Node(0), CdnFault::SlowBody(100, std::chrono::milliseconds(200)));
    HttpRequestParams params = Params(cdn_.NodeUrl());
    params.rangeEnd = 799;
    params.connectTimeoutSeconds = 1;
    params.timeoutSeconds = 0;
    const auto start = Clock::now();
    const HttpRequestStatus status = Run(params);
    ASSERT_EQ(status.result, HttpRequestResult::Success);
    ASSERT_GT(Clock::now() - start, std::chrono::milliseconds(1300));
    EXPECT_EQ(status.requestTimeMs, 1000u);
    EXPECT_LE(status.firstByteTimeMs, 1000u);
    EXPECT_EQ(writer_.body, cdn_.FileContent().substr(0, 800));
}

TEST_F(CurlHttpRequestTest, WriterFailuresOverrideTheLibraryClassification) {
    writer_.fail = true;
    writer_.takes = 10;
    const HttpRequestStatus shortWrite = Run(Params(cdn_.NodeUrl()));
    EXPECT_EQ(shortWrite.result, HttpRequestResult::WriteError);
    EXPECT_EQ(shortWrite.bytesWritten, 10u);

    writer_.body.clear();
    writer_.takes = 0;
    writer_.failure = HttpRequestResult::DataMismatch;
    writer_.failureText = "past the chunk";
    const HttpRequestStatus mismatch = Run(Params(cdn_.NodeUrl()));
    EXPECT_EQ(mismatch.result, HttpRequestResult::DataMismatch);
    EXPECT_EQ(mismatch.errorDetails, "past the chunk");
    EXPECT_EQ(mismatch.bytesWritten, 0u);

    writer_.failure = HttpRequestResult::OutOfMemory;
    EXPECT_EQ(Run(Params(cdn_.NodeUrl())).result, HttpRequestResult::OutOfMemory);

    // Any other failure a writer names counts as a write error.
    writer_.failure = HttpRequestResult::ConnectFailure;
    EXPECT_EQ(Run(Params(cdn_.NodeUrl())).result, HttpRequestResult::WriteError);
}

TEST_F(CurlHttpRequestTest, CancelBeforeExecuteNeverTouchesTheNetwork) {
    CurlHttpRequest request(Params(cdn_.NodeUrl()), "");
    request.Cancel();
    EXPECT_EQ(request.GetStatus().result, HttpRequestResult::Aborted);
    EXPECT_EQ(request.Execute().result, HttpRequestResult::Aborted);
    EXPECT_EQ(NodeRequests(), 0u);
    EXPECT_EQ(writer_.body, "");
}

TEST_F(CurlHttpRequestTest, CancelDuringExecuteAbortsAndResetWaitsForThePerformToEnd) {
    test::BlockingWriter blocking;
    HttpRequestParams params(cdn_.NodeUrl(), &blocking);
    params.timeoutSeconds = 10;
    CurlHttpRequest request(params, "");
    auto execution = std::async(std::launch::async, [&request] { return request.Execute(); });
    ASSERT_TRUE(blocking.WaitUntilWriting());
    EXPECT_EQ(request.GetStatus().result, HttpRequestResult::InProgress);
    EXPECT_FALSE(request.Reset(params, ""));
    request.Cancel();
    EXPECT_EQ(request.GetStatus().result, HttpRequestResult::Aborted);
    EXPECT_FALSE(request.Reset(params, ""));  // still inside the library
    blocking.Release();
    ASSERT_EQ(execution.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    const HttpRequestStatus status = execution.get();
    EXPECT_EQ(status.result, HttpRequestResult::Aborted);
    EXPECT_EQ(status.errorDetails, "");
    EXPECT_TRUE(request.Reset(params, ""));
    EXPECT_EQ(request.GetStatus().result, HttpRequestResult::NotStarted);
}

TEST_F(CurlHttpRequestTest, CancelEndsAStalledTransferPromptly) {
    cdn_.Server().SetFault(CdnEndpoint::Node(0), CdnFault::StalledAfter(0));
    CurlHttpRequest request(Params(cdn_.NodeUrl()), "");
    auto execution = std::async(std::launch::async, [&request] { return request.Execute(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto start = Clock::now();
    request.Cancel();
    ASSERT_EQ(execution.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(execution.get().result, HttpRequestResult::Aborted);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
}

TEST_F(CurlHttpRequestTest, ExecuteTwicePerformsOnceAndResetReArms) {
    CurlHttpRequest request(Params(cdn_.NodeUrl()), "");
    const HttpRequestStatus first = request.Execute();
    const HttpRequestStatus second = request.Execute();
    EXPECT_EQ(first.result, HttpRequestResult::Success);
    EXPECT_EQ(second.result, first.result);
    EXPECT_EQ(second.bytesWritten, first.bytesWritten);
    EXPECT_EQ(NodeRequests(), 1u);

    test::CollectingWriter other;
    HttpRequestParams ranged(cdn_.NodeUrl(), &other);
    ranged.rangeStart = 5;
    ranged.rangeEnd = 14;
    ASSERT_TRUE(request.Reset(ranged, ""));
    EXPECT_EQ(request.GetStatus().bytesWritten, 0u);
    const HttpRequestStatus rearmed = request.Execute();
    EXPECT_EQ(rearmed.result, HttpRequestResult::Success);
    EXPECT_EQ(rearmed.bytesWritten, 10u);
    EXPECT_EQ(other.body, cdn_.FileContent().substr(5, 10));
    EXPECT_EQ(NodeRequests(), 2u);
}

TEST_F(CurlHttpRequestTest, OnlyHttpSchemesAreFollowedOrRequested) {
    EXPECT_EQ(Run(Params("file:///etc/hostname")).result, HttpRequestResult::InvalidRequest);
    EXPECT_EQ(Run(Params("ftp://127.0.0.1:1/x")).result, HttpRequestResult::InvalidRequest);
    EXPECT_EQ(writer_.body, "");

    cdn_.Server().SetFault(CdnEndpoint::Node(0), CdnFault::RedirectTo("file:///etc/hostname"));
    const HttpRequestStatus toFile = Run(Params(cdn_.NodeUrl()));
    EXPECT_EQ(toFile.result, HttpRequestResult::InvalidRequest);
    EXPECT_EQ(writer_.body, "");

    // One redirect to another http node is followed, a second one is not.
    const std::string node1 = "http://" + cdn_.Server().Authority(CdnEndpoint::Node(1));
    cdn_.Server().SetFault(CdnEndpoint::Node(0), CdnFault::RedirectTo(node1 + "/packages/p/k/1/data.bin"));
    EXPECT_EQ(Run(Params(cdn_.NodeUrl())).result, HttpRequestResult::Success);
    EXPECT_EQ(writer_.body, cdn_.FileContent());
    cdn_.Server().SetFault(CdnEndpoint::Node(1), CdnFault::RedirectTo(cdn_.NodeUrl()));
    EXPECT_EQ(Run(Params(cdn_.NodeUrl())).result, HttpRequestResult::OtherError);
}

TEST_F(CurlHttpRequestTest, ProxyIsUsedWhenGivenAndEnvironmentIsIgnored) {
    test::ScopedEnvironment environment;
    environment.Set("http_proxy",
                    "http://127.0.0.1:" + std::to_string(cdn_.Server().Port(CdnEndpoint::Node(1))));
    environment.Set("no_proxy", "");
    EXPECT_EQ(Run(Params(cdn_.NodeUrl())).result, HttpRequestResult::Success);
    EXPECT_EQ(cdn_.Server().Requests(CdnEndpoint::Node(1)).size(), 0u);

    // Through node 1 as a proxy, the absolute URL reaches node 1 (which has no such file).
    const HttpRequestStatus proxied = Run(Params("http://nowhere.invalid/packages/p/k/1/data.bin"),
                                          cdn_.Server().Authority(CdnEndpoint::Node(1)));
    EXPECT_EQ(proxied.result, HttpRequestResult::HttpClientError);
    const auto seen = cdn_.Server().Requests(CdnEndpoint::Node(1));
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].target, "http://nowhere.invalid/packages/p/k/1/data.bin");
}

TEST(HttpStringstreamWriter, WritesUntilTheStreamFails) {
    std::ostringstream stream;
    HttpStringstreamWriter writer(&stream);
    EXPECT_EQ(writer.Write("abc", 3).bytesWritten, 3u);
    EXPECT_EQ(writer.Write("", 0).result, HttpRequestResult::Success);
    EXPECT_EQ(stream.str(), "abc");
    stream.setstate(std::ios::failbit);
    const HttpRequestStatus failed = writer.Write("d", 1);
    EXPECT_EQ(failed.result, HttpRequestResult::WriteError);
    EXPECT_EQ(failed.bytesWritten, 0u);
}

TEST(CurlHttpRequestFactory, CreateRequestWithoutSessionMakesAFreshRequestWithTheProxy) {
    test::FixedHttpProxyFactory proxies;
    CurlHttpRequestFactory factory(&proxies);
    test::CollectingWriter writer;
    HttpRequestParams params("http://127.0.0.1:1/", &writer);
    const auto first = factory.CreateRequest(params, nullptr);
    const auto second = factory.CreateRequest(params, nullptr);
    EXPECT_NE(first, second);
    EXPECT_NE(dynamic_cast<CurlHttpRequest*>(first.get()), nullptr);
    EXPECT_EQ(proxies.created, 2);
}

}  // namespace
}  // namespace tvl
