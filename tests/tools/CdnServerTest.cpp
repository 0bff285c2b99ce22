#include "tools/talvane-cdn/CdnServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "tests/support/TemporaryFolder.h"

namespace tvl::cdn {
namespace {

// One HTTP/1.1 exchange over a plain socket, so that targets reach the server
// exactly as written and every header of the answer can be checked.
class RawConnection {
  public:
    explicit RawConnection(std::uint16_t port) : socket_(::socket(AF_INET, SOCK_STREAM, 0)) {
        timeval timeout{5, 0};
        ::setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~RawConnection() { ::close(socket_); }

    bool Connected() const { return connected_; }

    void Send(const std::string& text) {
        ASSERT_EQ(::send(socket_, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
    }

    // Reads until `bytes` bytes are buffered or the peer closes (or 5 s pass).
    std::string Receive(std::size_t bytes = std::string::npos) {
        char buffer[4096];
        while (received_.size() < bytes) {
            const ssize_t n = ::recv(socket_, buffer, sizeof buffer, 0);
            if (n <= 0) {
                break;
            }
            received_.append(buffer, static_cast<std::size_t>(n));
        }
        return received_;
    }

    // The next complete response: header and a body of its Content-Length.
    std::string NextResponse() {
        while (received_.find("\r\n\r\n") == std::string::npos) {
            const std::size_t before = received_.size();
            Receive(before + 1);
            if (received_.size() == before) {
                return std::string();
            }
        }
        const std::size_t headerEnd = received_.find("\r\n\r\n") + 4;
        const std::size_t at = received_.find("Content-Length: ");
        const std::size_t length = std::stoul(received_.substr(at + 16));
        Receive(headerEnd + length);
        std::string response = received_.substr(0, headerEnd + length);
        received_.erase(0, response.size());
        return response;
    }

  private:
    int socket_;
    bool connected_ = false;
    std::string received_;
};

std::string Get(std::uint16_t port, const std::string& target, const std::string& extraHeaders = "") {
    RawConnection connection(port);
    connection.Send("GET " + target + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n" + extraHeaders +
                    "\r\n");
    return connection.Receive();
}

std::string StatusLine(const std::string& response) {
    return response.substr(0, response.find("\r\n"));
}

std::string Body(const std::string& response) {
    const std::size_t end = response.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : response.substr(end + 4);
}

class CdnServerTest : public ::testing::Test {
  protected:
    CdnServerTest() {
        for (int i = 0; i < 1000; ++i) {
            content_ += static_cast<char>('a' + i % 26);
        }
        std::filesystem::create_directories(root_.Join("content/packages/p/k/1"));
        std::filesystem::create_directories(root_.Join("content/manifests/pkg"));
        std::filesystem::create_directories(root_.Join("content/nodes"));
        std::ofstream(root_.Join("content/packages/p/k/1/file.bin"), std::ios::binary) << content_;
        std::ofstream(root_.Join("content/manifests/pkg/current.xml")) << "<Package/>";
        std::ofstream(root_.Join("content/nodes/partner.xml")) << "<Nodes/>";
        std::ofstream(root_.Join("secret.txt")) << "outside";
        CdnServerOptions options;
        options.contentRoot = root_.Join("content");
        options.nodeCount = 2;
        options.countryCode = "DE";
        server_ = std::make_unique<CdnServer>(options);
        node_ = server_->Port(CdnEndpoint::Node(0));
    }

    test::TemporaryFolder root_;
    std::string content_;
    std::unique_ptr<CdnServer> server_;
    std::uint16_t node_ = 0;
};

TEST_F(CdnServerTest, AnswersByteRangesExactly) {
    const std::string ranged = Get(node_, "/packages/p/k/1/file.bin", "Range: bytes=10-19\r\n");
    EXPECT_EQ(StatusLine(ranged), "HTTP/1.1 206 Partial Content");
    EXPECT_NE(ranged.find("Content-Range: bytes 10-19/1000\r\n"), std::string::npos);
    EXPECT_EQ(Body(ranged), content_.substr(10, 10));

    EXPECT_EQ(Body(Get(node_, "/packages/p/k/1/file.bin", "Range: bytes=990-\r\n")), content_.substr(990));
    EXPECT_EQ(Body(Get(node_, "/packages/p/k/1/file.bin", "Range: bytes=-5\r\n")), content_.substr(995));
    EXPECT_EQ(Body(Get(node_, "/packages/p/k/1/file.bin", "Range: bytes=995-5000\r\n")),
              content_.substr(995));

    const std::string beyond = Get(node_, "/packages/p/k/1/file.bin", "Range: bytes=1000-1001\r\n");
    EXPECT_EQ(StatusLine(beyond), "HTTP/1.1 416 Range Not Satisfiable");
    EXPECT_NE(beyond.find("Content-Range: bytes */1000\r\n"), std::string::npos);

    const std::string whole = Get(node_, "/packages/p/k/1/file.bin");
    EXPECT_EQ(StatusLine(whole), "HTTP/1.1 200 OK");
    EXPECT_EQ(Body(whole), content_);
}

TEST_F(CdnServerTest, KeepsConnectionsAlive) {
    RawConnection connection(node_);
    connection.Send("GET /packages/p/k/1/file.bin HTTP/1.1\r\nHost: x\r\nRange: bytes=0-3\r\n\r\n");
    const std::string first = connection.NextResponse();
    connection.Send("GET /packages/p/k/1/file.bin HTTP/1.1\r\nHost: x\r\nRange: bytes=4-7\r\n\r\n");
    const std::string second = connection.NextResponse();
    EXPECT_NE(first.find("Connection: keep-alive"), std::string::npos);
    EXPECT_EQ(Body(first), "abcd");
    EXPECT_EQ(Body(second), "efgh");
    EXPECT_EQ(server_->Requests(CdnEndpoint::Node(0)).size(), 2u);
}

TEST_F(CdnServerTest, NeverServesAnythingOutsideTheContentRoot) {
    std::filesystem::create_symlink(root_.Join("secret.txt"), root_.Join("content/packages/p/k/1/link.txt"));
    for (const std::string target :
         {"/../secret.txt", "/packages/../../secret.txt", "/packages/%2e%2e/%2E%2E/%2e%2e/secret.txt",
          "/packages/p/k/1/link.txt", "/packages/p/k/1", "/packages/p/k/1/file.bin%00", "relative"}) {
        const std::string response = Get(node_, target);
        EXPECT_EQ(StatusLine(response), "HTTP/1.1 404 Not Found") << target;
        EXPECT_EQ(response.find("outside"), std::string::npos) << target;
    }
    EXPECT_EQ(Body(Get(node_, "/packages/p/k/./1//file.bin")), content_);
}

TEST_F(CdnServerTest, ManifestHostServesOnlyManifestsAndNodeLists) {
    const std::uint16_t manifest = server_->Port(CdnEndpoint::Manifest());
    EXPECT_EQ(Body(Get(manifest, "/manifests/pkg/current.xml")), "<Package/>");
    EXPECT_EQ(Body(Get(manifest, "/nodes/partner.xml")), "<Nodes/>");
    EXPECT_EQ(StatusLine(Get(manifest, "/packages/p/k/1/file.bin")), "HTTP/1.1 404 Not Found");
    EXPECT_EQ(StatusLine(Get(manifest, "/manifests/other/current.xml")), "HTTP/1.1 404 Not Found");
    for (const std::uint16_t port : {manifest, server_->Port(CdnEndpoint::Node(0))}) {
        RawConnection connection(port);
        connection.Send("POST /manifests/pkg/current.xml HTTP/1.1\r\nHost: x\r\nConnection: close\r\n"
                        "Content-Length: 2\r\n\r\n[]");
        EXPECT_EQ(StatusLine(connection.Receive()), "HTTP/1.1 405 Method Not Allowed") << port;
    }
}

TEST_F(CdnServerTest, GeolocationAnswersTheConfiguredCountryOrFails) {
    const std::uint16_t port = server_->Port(CdnEndpoint::Geolocation());
    EXPECT_NE(Body(Get(port, "/geo-location")).find("\"country_code\":\"DE\""), std::string::npos);
    server_->SetCountry("FR");
    EXPECT_NE(Body(Get(port, "/geo-location")).find("\"country_code\":\"FR\""), std::string::npos);
    server_->SetFault(CdnEndpoint::Geolocation(), CdnFault::WithStatus(503, 1));
    EXPECT_EQ(StatusLine(Get(port, "/geo-location")), "HTTP/1.1 503 Service Unavailable");
    EXPECT_EQ(StatusLine(Get(port, "/geo-location")), "HTTP/1.1 200 OK");
}

TEST_F(CdnServerTest, AnalyticsEndpointsRecordEveryPostSeparately) {
    for (auto [endpoint, body] : {std::pair{CdnEndpoint::Events(), std::string("[1]")},
                                  std::pair{CdnEndpoint::Transfers(), std::string("{\"t\":2}")}}) {
        RawConnection connection(server_->Port(endpoint));
        connection.Send(
            "POST / HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Type: application/json\r\n"
            "Content-Length: " +
            std::to_string(body.size()) + "\r\n\r\n" + body);
        EXPECT_EQ(StatusLine(connection.Receive()), "HTTP/1.1 200 OK");
    }
    const auto events = server_->Posts(CdnEndpoint::Events());
    const auto transfers = server_->Posts(CdnEndpoint::Transfers());
    ASSERT_EQ(events.size(), 1u);
    ASSERT_EQ(transfers.size(), 1u);
    EXPECT_EQ(events[0].body, "[1]");
    EXPECT_EQ(events[0].contentType, "application/json");
    EXPECT_EQ(transfers[0].body, "{\"t\":2}");
}

TEST_F(CdnServerTest, FaultsChangeBytesAndLengthsAsAsked) {
    server_->SetFault(CdnEndpoint::Node(0), CdnFault::CorruptByte(3, 1));
    std::string corrupted = content_.substr(0, 10);
    corrupted[3] = static_cast<char>(corrupted[3] ^ 0xFF);
    EXPECT_EQ(Body(Get(node_, "/packages/p/k/1/file.bin", "Range: bytes=0-9\r\n")), corrupted);
    EXPECT_EQ(Body(Get(node_, "/packages/p/k/1/file.bin", "Range: bytes=0-9\r\n")), content_.substr(0, 10));

    server_->SetFault(CdnEndpoint::Node(0), CdnFault::LongerBody(4, 1));
    const std::string longer = Get(node_, "/packages/p/k/1/file.bin", "Range: bytes=0-9\r\n");
    EXPECT_NE(longer.find("Content-Length: 14\r\n"), std::string::npos);
    EXPECT_EQ(Body(longer).substr(0, 10), content_.substr(0, 10));
    EXPECT_EQ(Body(longer).size(), 14u);

    server_->SetFault(CdnEndpoint::Node(0), CdnFault::TruncatedAfter(6, 1));
    const std::string truncated = Get(node_, "/packages/p/k/1/file.bin", "Range: bytes=0-9\r\n");
    EXPECT_NE(truncated.find("Content-Length: 10\r\n"), std::string::npos);
    EXPECT_EQ(Body(truncated), content_.substr(0, 6));

    // Faults of one node leave the other alone.
    server_->SetFault(CdnEndpoint::Node(0), CdnFault::WithStatus(404));
    EXPECT_EQ(StatusLine(Get(node_, "/packages/p/k/1/file.bin")), "HTTP/1.1 404 Not Found");
    EXPECT_EQ(StatusLine(Get(server_->Port(CdnEndpoint::Node(1)), "/packages/p/k/1/file.bin")),
              "HTTP/1.1 200 OK");
}

TEST_F(CdnServerTest, RefusedPortsComeBackWhenFaultsAreCleared) {
    server_->SetFault(CdnEndpoint::Node(0), CdnFault::Refused());
    EXPECT_FALSE(RawConnection(node_).Connected());
    server_->ClearFaults();
    EXPECT_TRUE(RawConnection(node_).Connected());
    EXPECT_EQ(Body(Get(node_, "/packages/p/k/1/file.bin")), content_);
}

TEST(CdnServer, RolesGivenOnePortShareItsListener) {
    test::TemporaryFolder root;
    std::uint16_t shared = 0;
    {
        // A port that was free a moment ago.
        CdnServerOptions probe;
        probe.contentRoot = root.Path();
        probe.nodeCount = 0;
        shared = CdnServer(probe).Port(CdnEndpoint::Geolocation());
    }
    CdnServerOptions options;
    options.contentRoot = root.Path();
    options.nodeCount = 1;
    options.geolocationPort = shared;
    options.eventsPort = shared;
    CdnServer server(options);
    EXPECT_EQ(server.GeolocationUrl(), "http://127.0.0.1:" + std::to_string(shared) + "/geo-location");
    EXPECT_EQ(server.EventsUrl(), "http://127.0.0.1:" + std::to_string(shared));
    EXPECT_NE(Body(Get(shared, "/geo-location")).find("\"country_code\":\"US\""), std::string::npos);
    RawConnection connection(shared);
    connection.Send("POST / HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Length: 2\r\n\r\n[]");
    EXPECT_EQ(StatusLine(connection.Receive()), "HTTP/1.1 200 OK");
    EXPECT_EQ(server.Posts(CdnEndpoint::Events()).size(), 1u);
    EXPECT_EQ(server.Requests(CdnEndpoint::Geolocation()).size(), 1u);
}

TEST(CdnServer, RefusesAContentRootThatIsNoDirectory) {
    CdnServerOptions options;
    options.contentRoot = "/nonexistent/talvane-cdn-root";
    EXPECT_THROW(CdnServer server(options), std::runtime_error);
}

}  // namespace
}  // namespace tvl::cdn
