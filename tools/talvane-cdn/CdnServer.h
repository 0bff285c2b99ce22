#pragma once

// The content provider's servers on loopback, in one process, for tests and the
// demonstration: a manifest host, download nodes on ports of their own, a
// geolocation endpoint and the two analytics endpoints. Files come from a content
// root laid out as a static HTTP server would serve it:
//
//   ROOT/manifests/<package>/current.xml and ROOT/manifests/<package>/<version>.xml
//   ROOT/nodes/<partner>.xml
//   ROOT/packages/<partner>/<package>/<version>/<file path>
//
// Every endpoint can be told to misbehave in one way at a time (see CdnFault).
// The server runs on one thread of its own; every public operation may be called
// from any thread.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tvl::cdn {

enum class CdnRole { Manifest, Node, Geolocation, Events, Transfers };

// One endpoint: a role, and for nodes the node's index.
struct CdnEndpoint {
    CdnRole role;
    std::size_t node = 0;

    static CdnEndpoint Manifest() { return {CdnRole::Manifest, 0}; }
    static CdnEndpoint Node(std::size_t index) { return {CdnRole::Node, index}; }
    static CdnEndpoint Geolocation() { return {CdnRole::Geolocation, 0}; }
    static CdnEndpoint Events() { return {CdnRole::Events, 0}; }
    static CdnEndpoint Transfers() { return {CdnRole::Transfers, 0}; }
};

// One way of misbehaving. Faults apply to the next `times` requests of their
// endpoint (all of them when negative), except Refuse, which lasts until cleared.
struct CdnFault {
    enum class Kind {
        None,
        Status,         // answer with `status` (404, 503, 302 ...) and a short body; `location` when given
        Refuse,         // stop listening: connections are refused; affects every role of the port
        ResetAfter,     // send the header and `bytes` body bytes, then reset the connection
        TruncateAfter,  // announce the full length, send `bytes` body bytes, then close
        Slow,           // send the body in pieces of `pieceSize` bytes, `delay` apart
        StallAfter,     // send the header and `bytes` body bytes, then nothing more
        Corrupt,        // flip the bits of the body byte at offset `bytes`
        Overlong,       // append `bytes` extra bytes to the body (and to its announced length)
    };

    Kind kind = Kind::None;
    unsigned status = 0;
    std::uint64_t bytes = 0;
    std::size_t pieceSize = 1024;
    std::chrono::milliseconds delay{0};
    int times = -1;
    std::string location;

    static CdnFault WithStatus(unsigned code, int times = -1);
    static CdnFault RedirectTo(const std::string& location, int times = -1);
    static CdnFault Refused();
    static CdnFault ResetAfterBytes(std::uint64_t bytes, int times = -1);
    static CdnFault TruncatedAfter(std::uint64_t bytes, int times = -1);
    static CdnFault SlowBody(std::size_t pieceSize, std::chrono::milliseconds delay, int times = -1);
    static CdnFault StalledAfter(std::uint64_t bytes, int times = -1);
    static CdnFault CorruptByte(std::uint64_t offset, int times = -1);
    static CdnFault LongerBody(std::uint64_t extraBytes, int times = -1);
};

// One request as the server received it.
struct CdnRequest {
    std::string method;
    std::string target;
    std::string range;  // the Range header, empty when absent
    std::string acceptEncoding;
    std::string userAgent;
    std::string contentType;
    std::string body;
    unsigned answeredStatus = 0;  // 0 when the connection was dropped without an answer
};

struct CdnServerOptions {
    std::string contentRoot;
    std::size_t nodeCount = 2;
    // 0 picks an ephemeral port. Roles given the same non-zero port share one
    // listener: GET /geo-location is then the geolocation, a POST the analytics.
    std::uint16_t manifestPort = 0;
    std::uint16_t geolocationPort = 0;
    std::uint16_t eventsPort = 0;
    std::uint16_t transfersPort = 0;
    std::uint16_t firstNodePort = 0;  // nodes on consecutive ports from here when not 0
    std::string countryCode = "US";
};

class CdnServer {
  public:
    // Binds every port on 127.0.0.1 and starts serving. Throws std::runtime_error
    // when a port cannot be bound or the content root is not a directory.
    explicit CdnServer(const CdnServerOptions& options);
    ~CdnServer();
    CdnServer(const CdnServer&) = delete;
    CdnServer& operator=(const CdnServer&) = delete;

    std::uint16_t Port(CdnEndpoint endpoint) const;
    std::string Authority(CdnEndpoint endpoint) const;  // "127.0.0.1:port"
    std::string ManifestHost() const { return Authority(CdnEndpoint::Manifest()); }
    std::string GeolocationUrl() const;  // http://127.0.0.1:port/geo-location
    std::string EventsUrl() const;       // http://127.0.0.1:port, no path
    std::string TransfersUrl() const;
    std::size_t NodeCount() const;
    const std::string& ContentRoot() const;

    void SetFault(CdnEndpoint endpoint, const CdnFault& fault);
    void ClearFaults();
    void SetCountry(const std::string& countryCode);

    // Requests received so far, oldest first; Posts keeps only the POSTs.
    std::vector<CdnRequest> Requests(CdnEndpoint endpoint) const;
    std::vector<CdnRequest> Posts(CdnEndpoint endpoint) const;

  private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tvl::cdn
