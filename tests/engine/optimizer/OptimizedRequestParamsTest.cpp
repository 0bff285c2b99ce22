#include "engine/optimizer/OptimizedRequestParams.h"

#include <gtest/gtest.h>

#include <boost/property_tree/json_parser.hpp>
#include <sstream>
#include <stdexcept>

#include "engine/http/HttpStringstreamWriter.h"
#include "engine/optimizer/OptimizerAnalyticsRequest.h"
#include "tests/engine/optimizer/OptimizerTestSupport.h"

namespace tvl {
namespace {

using testing::MakeChunk;
using testing::MakeNode;
using testing::MakeNodeList;
using testing::MakeTransfer;

std::string UrlFor(const std::string& host, const std::string& nodePath, const std::string& file,
                   TransferParams transfer = MakeTransfer()) {
    OptimizedRequestParams params(MakeNodeList({host}), transfer, MakeChunk(0, 99, file));
    params.selectedNode = MakeNode(host, 1, nodePath);
    return params.ToUrl();
}

// A node that skipped the list's reader, with whatever host it was given.
class UncheckedNode : public NodeManifest {
  public:
    explicit UncheckedNode(std::string host) : host_(std::move(host)) {}
    void Read(const boost::property_tree::ptree&) override {}
    void Write(boost::property_tree::ptree&) const override {}
    const std::string& GetNodeId() const override { return host_; }
    const std::string& GetHost() const override { return host_; }
    const std::string& GetPath() const override { return path_; }
    std::uint32_t GetWeight() const override { return 1; }
    void ResetWeight() override {}
    std::shared_ptr<NodeStatistics> GetStatistics() const override { return nullptr; }
    std::shared_ptr<NodeManifest> CloneWithStatistics(std::shared_ptr<NodeStatistics>) const override {
        return std::make_shared<UncheckedNode>(host_);
    }

  private:
    std::string host_;
    std::string path_ = "/packages/";
};

std::string InvalidArgumentMessage(const OptimizedRequestParams& params) {
    try {
        params.ToUrl();
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    return "no exception";
}

TEST(OptimizedRequestParams, UrlIsNodePathThenPartnerPackageVersionAndFile) {
    EXPECT_EQ(UrlFor("cdn.test", "/packages/", "bin/app.exe"), "http://cdn.test/packages/p/k/v/bin/app.exe");
    EXPECT_EQ(UrlFor("cdn.test", "/", "bin/app.exe"), "http://cdn.test/p/k/v/bin/app.exe");
    EXPECT_EQ(UrlFor("127.0.0.1:8080", "/a/b/", "f.bin"), "http://127.0.0.1:8080/a/b/p/k/v/f.bin");
    EXPECT_EQ(UrlFor("[::1]:8080", "/x/", "f.bin"), "http://[::1]:8080/x/p/k/v/f.bin");
    // The node's host chooses the scheme; without one it stays http.
    EXPECT_EQ(UrlFor("https://cdn.test", "/packages/", "f.bin"), "https://cdn.test/packages/p/k/v/f.bin");
    EXPECT_EQ(UrlFor("https://127.0.0.1:8443", "/a/", "f.bin"), "https://127.0.0.1:8443/a/p/k/v/f.bin");
    EXPECT_EQ(UrlFor("HTTPS://[::1]:8443", "/x/", "f.bin"), "https://[::1]:8443/x/p/k/v/f.bin");
    EXPECT_EQ(UrlFor("http://cdn.test:8080", "/packages/", "f.bin"), "http://cdn.test:8080/packages/p/k/v/f.bin");
}

TEST(OptimizedRequestParams, NamesStayLiteralPathText) {
    // A colon in a first segment must not read as a scheme, "?" and "#" must
    // not start a query or fragment, and "%" must reach the server as itself.
    EXPECT_EQ(UrlFor("cdn.test", "/packages/", "c:evil.test/x"),
              "http://cdn.test/packages/p/k/v/c:evil.test/x");
    EXPECT_EQ(UrlFor("cdn.test", "/packages/", "a?b#c%41 d.bin"),
              "http://cdn.test/packages/p/k/v/a%3Fb%23c%2541%20d.bin");
    TransferParams transfer = MakeTransfer();
    transfer.versionId = "1:2";
    EXPECT_EQ(UrlFor("cdn.test", "/packages/", "f.bin", transfer), "http://cdn.test/packages/p/k/1:2/f.bin");
}

TEST(OptimizedRequestParams, UrlNeedsANodeAndAChunk) {
    const char* message = "OptimizedRequestParams::ToUrl invoked with no SelectedNode or no ChunkData";
    OptimizedRequestParams noNode(MakeNodeList({"a.test"}), MakeTransfer(), MakeChunk(0, 9));
    EXPECT_EQ(InvalidArgumentMessage(noNode), message);
    OptimizedRequestParams noChunk(MakeNodeList({"a.test"}), MakeTransfer(), nullptr);
    noChunk.selectedNode = noChunk.nodes.front();
    EXPECT_EQ(InvalidArgumentMessage(noChunk), message);

    // Hosts the node list reader refuses, reaching here some other way.
    for (const std::string host : {"ftp://a.test", "file:///etc", "https://a.test/other", "https://u@a.test",
                                   "https://a.test?x", "a.test/other"}) {
        OptimizedRequestParams badHost(MakeNodeList({"a.test"}), MakeTransfer(), MakeChunk(0, 9));
        badHost.selectedNode = std::make_shared<UncheckedNode>(host);
        EXPECT_EQ(InvalidArgumentMessage(badHost), "not a usable node host: \"" + host + "\"") << host;
    }
}

TEST(OptimizedRequestParams, HttpRequestIsARangedGetWithTheChosenSettings) {
    OptimizedRequestParams params(MakeNodeList({"cdn.test"}), MakeTransfer(), MakeChunk(1048576, 2097151));
    params.selectedNode = params.nodes.front();
    params.connectTimeoutSeconds = 6;
    params.timeoutSeconds = 585;
    params.lowSpeedLimit = 1792;
    params.lowSpeedTimeSeconds = 10;
    std::ostringstream sink;
    HttpStringstreamWriter writer(&sink);
    const HttpRequestParams http = params.ToHttpRequestParams(&writer);
    EXPECT_EQ(http.url, "http://cdn.test/packages/p/k/v/bin/app.exe");
    EXPECT_EQ(http.writer, &writer);
    EXPECT_EQ(http.method, HttpRequestParams::Get);
    EXPECT_EQ(http.rangeStart, 1048576u);
    EXPECT_EQ(http.rangeEnd, 2097151u);
    EXPECT_EQ(http.connectTimeoutSeconds, 6);
    EXPECT_EQ(http.timeoutSeconds, 585);
    EXPECT_EQ(http.lowSpeedLimit, 1792);
    EXPECT_EQ(http.lowSpeedTimeSeconds, 10);
    EXPECT_EQ(http.userAgent, userAgentString);
    EXPECT_TRUE(http.acceptEncoding.empty());
}

TEST(OptimizedRequestParams, RemovingTheLastCandidateRefillsFromTheList) {
    const auto list = MakeNodeList({"a.test", "b.test", "c.test"});
    OptimizedRequestParams params(list, MakeTransfer(), MakeChunk(0, 9));
    EXPECT_EQ(params.nodes, list->GetNodes());
    EXPECT_FALSE(params.selectedNode);
    EXPECT_FALSE(params.freeRetry || params.canEscalate || params.exploring);

    params.selectedNode = list->GetNodes()[1];
    params.RemoveSelectedNode();
    EXPECT_EQ(params.nodes, (NodeManifestList{list->GetNodes()[0], list->GetNodes()[2]}));
    params.selectedNode = list->GetNodes()[0];
    params.RemoveSelectedNode();
    EXPECT_EQ(params.nodes, (NodeManifestList{list->GetNodes()[2]}));
    params.selectedNode = list->GetNodes()[2];
    params.RemoveSelectedNode();
    EXPECT_EQ(params.nodes, list->GetNodes());
}

TEST(OptimizerAnalyticsRequest, WritesIdentityMetricsAndHost) {
    NodeStatisticsSnapshot snapshot;
    snapshot.bytes = 5000000000ull;
    snapshot.successBytes = 4000000000ull;
    snapshot.firstByteTime = 1234;
    snapshot.requestTime = 12345;
    snapshot.successTime = 0;
    snapshot.numRequests = 9;
    snapshot.numErrors = 8;
    snapshot.numConnectFailures = 1;
    snapshot.numHttpServerErrors = 2;
    snapshot.numConnectionsReset = 3;
    snapshot.numDataMismatches = 4;
    snapshot.numRequestTimeouts = 5;
    TransferParams transfer = MakeTransfer();
    transfer.transferId = "0123456789abcdef0123456789abcdef";
    const OptimizerAnalyticsRequest request(transfer, "cdn1.example.test:8080", snapshot);

    boost::property_tree::ptree tree;
    request.Write(tree);
    std::ostringstream json;
    boost::property_tree::write_json(json, tree, false);
    EXPECT_EQ(json.str(),
              "{\"pid\":\"p\",\"pkgid\":\"k\",\"vid\":\"v\",\"metrics\":{\"bytes\":\"5000000000\","
              "\"successBytes\":\"4000000000\",\"firstByteTime\":\"1.234\",\"requestTime\":\"12.345\","
              "\"successTime\":\"0\",\"numRequests\":\"9\",\"numErrors\":\"8\",\"numConnectFailures\":\"1\","
              "\"numHttpServerErrors\":\"2\",\"numConnectionsReset\":\"3\",\"numDataMismatches\":\"4\","
              "\"numRequestTimeouts\":\"5\"},\"dimensions\":{\"cdn\":\"cdn1.example.test:8080\"}}\n");
}

TEST(OptimizerAnalyticsRequest, LargestTimeSumKeepsEveryDigit) {
    NodeStatisticsSnapshot snapshot;
    snapshot.requestTime = 4294967295u;
    const OptimizerAnalyticsRequest request(MakeTransfer(), "h", snapshot);
    boost::property_tree::ptree tree;
    request.Write(tree);
    EXPECT_EQ(tree.get<std::string>("metrics.requestTime"), "4294967.295");
}

}  // namespace
}  // namespace tvl
