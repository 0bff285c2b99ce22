#include "engine/manifest/NodeManifest.h"

#include <gtest/gtest.h>

#include <boost/property_tree/ptree.hpp>
#include <sstream>

#include "engine/manifest/ManifestExceptions.h"
#include "engine/manifest/ManifestParsing.h"
#include "engine/optimizer/NodeStatistics.h"

namespace tvl {
namespace {

std::shared_ptr<StandardNodeListManifest> Nodes(const std::string& xml) {
    std::istringstream in(xml);
    boost::property_tree::ptree tree;
    ParseXmlManifest(in, tree);
    auto list = std::make_shared<StandardNodeListManifest>();
    list->Read(tree);
    return list;
}

std::string Node(const std::string& id, const std::string& host, const std::string& extra = "") {
    return "<NodeInfo NodeId=\"" + id + "\" Host=\"" + host + "\"" + extra + "/>";
}

std::string List(const std::string& nodes) { return "<ArrayOfNodeInfo>" + nodes + "</ArrayOfNodeInfo>"; }

TEST(NodeListManifest, ReadsNodesInOrderWithDefaults) {
    auto list = Nodes(List(Node("a", "n1.example.net") + "<Other/>" +
                           "<NodeInfo><NodeId>b</NodeId><Host>127.0.0.1:8080</Host><Path>files</Path>"
                           "<Weight>3</Weight></NodeInfo>"));
    ASSERT_EQ(list->GetNodes().size(), 2u);
    const auto& a = list->GetNodes()[0];
    EXPECT_EQ(a->GetNodeId(), "a");
    EXPECT_EQ(a->GetHost(), "n1.example.net");
    EXPECT_EQ(a->GetPath(), "/packages/");
    EXPECT_EQ(a->GetWeight(), 1u);
    ASSERT_TRUE(a->GetStatistics());
    const auto& b = list->GetNodes()[1];
    EXPECT_EQ(b->GetPath(), "/files/");
    EXPECT_EQ(b->GetWeight(), 3u);
    EXPECT_NE(a->GetStatistics(), b->GetStatistics()) << "every node has statistics of its own";
}

TEST(NodeListManifest, PathsGetLeadingAndTrailingSlashes) {
    const auto path = [](const std::string& p) {
        return Nodes(List(Node("a", "h", " Path=\"" + p + "\"")))->GetNodes()[0]->GetPath();
    };
    EXPECT_EQ(path("files"), "/files/");
    EXPECT_EQ(path("/files"), "/files/");
    EXPECT_EQ(path("/a/b/"), "/a/b/");
    EXPECT_EQ(path(""), "/");
}

TEST(NodeListManifest, WeightRules) {
    auto single = Nodes(List(Node("a", "h", " Weight=\"0\"")));
    ASSERT_EQ(single->GetNodes().size(), 1u);
    EXPECT_EQ(single->GetNodes()[0]->GetWeight(), 1u);

    auto mixed = Nodes(List(Node("a", "h", " Weight=\"0\"") + Node("b", "h", " Weight=\"3\"") +
                            Node("c", "h", " Weight=\"0\"")));
    ASSERT_EQ(mixed->GetNodes().size(), 1u);
    EXPECT_EQ(mixed->GetNodes()[0]->GetNodeId(), "b");

    auto garbage = Nodes(List(Node("a", "h", " Weight=\"-5\"") + Node("b", "h", " Weight=\"heavy\"")));
    EXPECT_EQ(garbage->GetNodes()[0]->GetWeight(), 1u) << "an unreadable weight counts as absent";
    EXPECT_EQ(garbage->GetNodes()[1]->GetWeight(), 1u);
}

TEST(NodeListManifest, EmptyOrMalformedListsFail) {
    EXPECT_THROW(Nodes("<Other/>"), ManifestParseException);
    EXPECT_THROW(Nodes(List("<Other/>")), ManifestParseException);
    EXPECT_THROW(Nodes(List(Node("", "h"))), ManifestParseException);
    EXPECT_THROW(Nodes(List(Node("a", ""))), ManifestParseException);
    EXPECT_THROW(Nodes(List("<NodeInfo NodeId=\"a\"/>")), ManifestParseException);
}

TEST(NodeListManifest, HostIsAnAuthorityWithAnOptionalHttpOrHttpsScheme) {
    for (const std::string host : {"h/path", "user@h", "h h", "h:", "h:99999", "h:8a", "[::1", "h?x", "h#x", ":80",
                                   "ftp://h", "file:///etc/passwd", "https://", "https://h/", "https://h/files",
                                   "https://user@h", "https://h?x", "https://h:99999", "https:h", "https//h",
                                   "://h", "https://https://h"}) {
        EXPECT_THROW(Nodes(List(Node("a", host))), ManifestParseException) << host;
    }
    for (const std::string host : {"h", "cdn-1.example.net", "127.0.0.1", "127.0.0.1:47810", "[::1]",
                                   "[::1]:8080", "node_2.local:80", "http://h", "https://h", "HTTPS://h:8443",
                                   "https://[::1]:8443"}) {
        EXPECT_NO_THROW(Nodes(List(Node("a", host)))) << host;
    }
    EXPECT_EQ(Nodes(List(Node("a", "https://h:8443")))->GetNodes()[0]->GetHost(), "https://h:8443")
        << "kept as written: statistics and analytics name the node by it";

    const auto https = ParseServerAddress("HTTPS://cdn.example.net:8443");
    ASSERT_TRUE(https);
    EXPECT_EQ(https->scheme, "https");
    EXPECT_EQ(https->authority, "cdn.example.net:8443");
    const auto plain = ParseServerAddress("cdn.example.net");
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->scheme, "http") << "a host without a scheme keeps meaning http";
    EXPECT_EQ(plain->authority, "cdn.example.net");
}

TEST(NodeManifest, WriteAndCloneWithStatistics) {
    auto list = Nodes(List(Node("a", "h:1", " Path=\"p\" Weight=\"4\"")));
    const auto node = list->GetNodes()[0];
    auto statistics = std::make_shared<NormalNodeStatistics>();
    const auto clone = node->CloneWithStatistics(statistics);
    EXPECT_EQ(clone->GetNodeId(), "a");
    EXPECT_EQ(clone->GetHost(), "h:1");
    EXPECT_EQ(clone->GetPath(), "/p/");
    EXPECT_EQ(clone->GetWeight(), 4u);
    EXPECT_EQ(clone->GetStatistics(), statistics);
    EXPECT_EQ(clone->shared_from_this(), clone);

    boost::property_tree::ptree tree;
    clone->Write(tree);
    std::vector<std::string> keys;
    for (const auto& child : tree) {
        keys.push_back(child.first);
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"Node", "Path", "Weight", "Requests", "Errors", "Bytes",
                                              "Average Request Speed", "Standard Deviation"}));
    EXPECT_EQ(tree.get<std::string>("Weight"), "4");
}

}  // namespace
}  // namespace tvl
