#include "engine/manifest/ManifestSource.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "engine/http/CurlHttpRequestFactory.h"
#include "engine/http/HttpProxy.h"
#include "engine/http/HttpProxyFactory.h"
#include "engine/manifest/GeolocationManifest.h"
#include "engine/manifest/ManifestExceptions.h"
#include "engine/manifest/ManifestFactories.h"
#include "engine/manifest/NodeManifest.h"
#include "engine/manifest/PackageManifest.h"
#include "tests/support/TemporaryFolder.h"
#include "tools/talvane-cdn/CdnServer.h"

namespace tvl {
namespace {

namespace fs = std::filesystem;
using cdn::CdnEndpoint;
using cdn::CdnFault;

class DirectProxyFactory : public HttpProxyFactory {
public:
    std::shared_ptr<HttpProxy> Create() override { return std::make_shared<EmptyHttpProxy>(); }
};

void WriteFile(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

const char kPackage[] =
    "<package id=\"pkg\" name=\"Demo\" partnerId=\"partner\" versionId=\"2\">"
    "<files><file path=\"a.bin\" size=\"4\" chunksize=\"4\" checksums=\"00000001\"/></files></package>";

class ManifestSourceTest : public ::testing::Test {
protected:
    ManifestSourceTest() : requests_(&proxies_) {
        WriteFile(root_.Join("manifests/pkg/current.xml"), kPackage);
        WriteFile(root_.Join("manifests/pkg/2.xml"), kPackage);
        WriteFile(root_.Join("manifests/other/current.xml"), kPackage);
        WriteFile(root_.Join("manifests/broken/current.xml"), "<package><id>");
        WriteFile(root_.Join("nodes/partner.xml"),
                  "<ArrayOfNodeInfo><NodeInfo NodeId=\"n1\" Host=\"127.0.0.1:1\" Weight=\"2\"/></ArrayOfNodeInfo>");
        cdn::CdnServerOptions options;
        options.contentRoot = root_.Path();
        options.nodeCount = 1;
        options.countryCode = "DE";
        server_ = std::make_unique<cdn::CdnServer>(options);
    }

    XmlHttpPackageManifestFactory Packages() { return {server_->ManifestHost(), &requests_, 2, 5}; }

    test::TemporaryFolder root_;
    DirectProxyFactory proxies_;
    CurlHttpRequestFactory requests_;
    std::unique_ptr<cdn::CdnServer> server_;
};

TEST_F(ManifestSourceTest, UrlForms) {
    XmlHttpPackageManifestFactory packages("cdn.example.net:8080", &requests_, 10, 30);
    EXPECT_EQ(packages.GetUrl("pkg"), "http://cdn.example.net:8080/manifests/pkg/current.xml");
    EXPECT_EQ(packages.GetUrl("pkg/7"), "http://cdn.example.net:8080/manifests/pkg/7.xml");
    EXPECT_EQ(packages.GetUrl("a b"), "http://cdn.example.net:8080/manifests/a%20b/current.xml");
    XmlHttpNodeListManifestFactory nodes("cdn.example.net", &requests_, 10, 30);
    EXPECT_EQ(nodes.GetUrl("n1"), "http://cdn.example.net/nodes/n1.xml");
    // The host may name the scheme; without one it stays http.
    XmlHttpPackageManifestFactory httpsPackages("https://cdn.example.net:8443", &requests_, 10, 30);
    EXPECT_EQ(httpsPackages.GetUrl("pkg/7"), "https://cdn.example.net:8443/manifests/pkg/7.xml");
    XmlHttpNodeListManifestFactory httpsNodes("HTTPS://cdn.example.net", &requests_, 10, 30);
    EXPECT_EQ(httpsNodes.GetUrl("n1"), "https://cdn.example.net/nodes/n1.xml");
    XmlHttpNodeListManifestFactory httpNodes("http://127.0.0.1:8080", &requests_, 10, 30);
    EXPECT_EQ(httpNodes.GetUrl("n1"), "http://127.0.0.1:8080/nodes/n1.xml");
    for (const std::string host : {"host:notaport", "ftp://cdn.example.net", "file:///etc", "https://",
                                   "https://cdn.example.net/", "https://cdn.example.net/base",
                                   "https://user@cdn.example.net", "user@cdn.example.net", "https://h?x",
                                   "https://h#x", "https:cdn.example.net"}) {
        XmlHttpPackageManifestFactory badPackages(host, &requests_, 10, 30);
        EXPECT_THROW(badPackages.GetUrl("pkg"), ManifestLocatorException) << host;
        XmlHttpNodeListManifestFactory badNodes(host, &requests_, 10, 30);
        EXPECT_THROW(badNodes.GetUrl("n1"), ManifestLocatorException) << host;
    }
    // The URL builder decodes escapes and the client resolves dot segments, so
    // ids that could reach another folder of the manifest host are refused.
    for (const std::string key : {"..", "../nodes/x", "pkg/..", "pkg/../../x", "%2e%2e", "pkg/%2e%2e",
                                  "pkg/a%2Fb", "pkg/1/2", "pkg/"}) {
        EXPECT_THROW(packages.GetUrl(key), ManifestLocatorException) << key;
    }
    for (const std::string key : {"..", "../manifests/x", "a/b", "%2e%2e%2fx"}) {
        EXPECT_THROW(nodes.GetUrl(key), ManifestLocatorException) << key;
    }
}

TEST_F(ManifestSourceTest, LoadsPackageCurrentAndVersioned) {
    auto factory = Packages();
    auto current = factory.GetManifest("pkg");
    EXPECT_EQ(current->GetVersionId(), "2");
    EXPECT_EQ(current->GetFiles().size(), 1u);
    EXPECT_EQ(factory.GetManifest("pkg/2")->GetId(), "pkg");
    const auto requests = server_->Requests(CdnEndpoint::Manifest());
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].target, "/manifests/pkg/current.xml");
    EXPECT_EQ(requests[1].target, "/manifests/pkg/2.xml");
    EXPECT_EQ(requests[0].userAgent, "Brennic Talvane Delivery TransferService 1.2.1");
}

TEST_F(ManifestSourceTest, FailuresMapToTheirExceptions) {
    auto factory = Packages();
    EXPECT_THROW(factory.GetManifest("other"), ManifestLocatorException) << "id differs from the key";
    EXPECT_THROW(factory.GetManifest("missing"), ManifestLocatorException) << "404";
    EXPECT_THROW(factory.GetManifest("broken"), ManifestParseException);

    server_->SetFault(CdnEndpoint::Manifest(), CdnFault::WithStatus(503, 1));
    try {
        factory.GetManifest("pkg");
        ADD_FAILURE() << "503 must fail";
    } catch (const ManifestStreamException& e) {
        EXPECT_NE(std::string(e.what()).find("503"), std::string::npos) << e.what();
    }
    EXPECT_NO_THROW(factory.GetManifest("pkg")) << "the fault lasted one request";

    server_->SetFault(CdnEndpoint::Manifest(), CdnFault::Refused());
    EXPECT_THROW(factory.GetManifest("pkg"), ManifestStreamException);
}

TEST_F(ManifestSourceTest, AbortDuringTheDownloadAndBeforeIt) {
    server_->SetFault(CdnEndpoint::Manifest(), CdnFault::StalledAfter(10));
    auto factory = Packages();
    auto source = factory.CreateSource("pkg", nullptr);
    const auto fetch = [&] {
        return std::async(std::launch::async, [&] {
            std::stringstream out;
            try {
                source->Fetch("pkg", out);
                return std::string("returned");
            } catch (const ManifestAbortedException&) {
                return std::string("aborted");
            } catch (const std::exception& e) {
                return std::string("other: ") + e.what();
            }
        });
    };
    auto result = fetch();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(4);
    while (server_->Requests(CdnEndpoint::Manifest()).empty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    source->Abort();
    ASSERT_EQ(result.wait_for(std::chrono::seconds(4)), std::future_status::ready);
    EXPECT_EQ(result.get(), "aborted");

    // An abort with nothing in flight, as when it lands before a fetch has
    // sent its request, ends that fetch at once instead of leaving it to hang
    // until its time-out; the fetch after that runs again.
    source->Abort();
    auto early = fetch();
    ASSERT_EQ(early.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_EQ(early.get(), "aborted");
    EXPECT_EQ(server_->Requests(CdnEndpoint::Manifest()).size(), 1u) << "the aborted fetch sent nothing";
    server_->ClearFaults();
    auto later = fetch();
    ASSERT_EQ(later.wait_for(std::chrono::seconds(4)), std::future_status::ready);
    EXPECT_EQ(later.get(), "returned");
}

// Package manifests, read in one pass, may be four times as long as node
// lists, which are read as trees.
TEST_F(ManifestSourceTest, OversizedBodyIsAContentError) {
    WriteFile(root_.Join("manifests/huge/current.xml"), std::string(HttpManifestSource::MaxManifestBytes + 1, ' '));
    auto factory = Packages();
    EXPECT_THROW(factory.GetManifest("huge"), ManifestParseException);

    const auto padded = [](std::string text, std::uint64_t size) { return text.append(size - text.size(), '\n'); };
    WriteFile(root_.Join("manifests/pkg/current.xml"), padded(kPackage, 4 * HttpManifestSource::MaxManifestBytes));
    EXPECT_EQ(factory.GetManifest("pkg")->GetFiles().size(), 1u);
    WriteFile(root_.Join("manifests/pkg/current.xml"), padded(kPackage, MaxPackageManifestBytes + 1));
    try {
        factory.GetManifest("pkg");
        ADD_FAILURE() << "a package manifest over its cap was read";
    } catch (const ManifestParseException& e) {
        EXPECT_NE(std::string(e.what()).find("larger than"), std::string::npos) << e.what();
    }

    XmlHttpNodeListManifestFactory nodes(server_->ManifestHost(), &requests_, 2, 5);
    const std::string list =
        "<ArrayOfNodeInfo><NodeInfo NodeId=\"n1\" Host=\"127.0.0.1:1\"/></ArrayOfNodeInfo>";
    WriteFile(root_.Join("nodes/partner.xml"), padded(list, HttpManifestSource::MaxManifestBytes));
    EXPECT_EQ(nodes.GetManifest("partner")->GetNodes().size(), 1u);
    WriteFile(root_.Join("nodes/partner.xml"), padded(list, HttpManifestSource::MaxManifestBytes + 1));
    EXPECT_THROW(nodes.GetManifest("partner"), ManifestParseException);
}

TEST_F(ManifestSourceTest, NodeListAndGeolocation) {
    XmlHttpNodeListManifestFactory nodes(server_->ManifestHost(), &requests_, 2, 5);
    auto list = nodes.GetManifest("partner");
    ASSERT_EQ(list->GetNodes().size(), 1u);
    EXPECT_EQ(list->GetNodes()[0]->GetWeight(), 2u);
    EXPECT_THROW(nodes.GetManifest("nobody"), ManifestLocatorException);

    JsonHttpGeolocationManifestFactory geolocation(server_->GeolocationUrl(), &requests_, 2, 5);
    EXPECT_EQ(geolocation.GetManifest()->GetCountryCode(), "DE");
    server_->SetFault(CdnEndpoint::Geolocation(), CdnFault::WithStatus(503, 1));
    EXPECT_THROW(geolocation.GetManifest(), ManifestStreamException);
}

}  // namespace
}  // namespace tvl
