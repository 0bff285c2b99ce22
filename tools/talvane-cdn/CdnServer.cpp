#include "tools/talvane-cdn/CdnServer.h"

#include <algorithm>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/filesystem.hpp>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace tvl::cdn {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace fs = boost::filesystem;
using tcp = asio::ip::tcp;

namespace {

CdnFault MakeFault(CdnFault::Kind kind, std::uint64_t bytes, int times) {
    CdnFault fault;
    fault.kind = kind;
    fault.bytes = bytes;
    fault.times = times;
    return fault;
}

}  // namespace

CdnFault CdnFault::WithStatus(unsigned code, int times) {
    CdnFault fault = MakeFault(Kind::Status, 0, times);
    fault.status = code;
    return fault;
}

CdnFault CdnFault::RedirectTo(const std::string& location, int times) {
    CdnFault fault = WithStatus(302, times);
    fault.location = location;
    return fault;
}

CdnFault CdnFault::Refused() {
    return MakeFault(Kind::Refuse, 0, -1);
}

CdnFault CdnFault::ResetAfterBytes(std::uint64_t bytes, int times) {
    return MakeFault(Kind::ResetAfter, bytes, times);
}

CdnFault CdnFault::TruncatedAfter(std::uint64_t bytes, int times) {
    return MakeFault(Kind::TruncateAfter, bytes, times);
}

CdnFault CdnFault::SlowBody(std::size_t pieceSize, std::chrono::milliseconds delay, int times) {
    CdnFault fault = MakeFault(Kind::Slow, 0, times);
    fault.pieceSize = pieceSize == 0 ? 1 : pieceSize;
    fault.delay = delay;
    return fault;
}

CdnFault CdnFault::StalledAfter(std::uint64_t bytes, int times) {
    return MakeFault(Kind::StallAfter, bytes, times);
}

CdnFault CdnFault::CorruptByte(std::uint64_t offset, int times) {
    return MakeFault(Kind::Corrupt, offset, times);
}

CdnFault CdnFault::LongerBody(std::uint64_t extraBytes, int times) {
    return MakeFault(Kind::Overlong, extraBytes, times);
}

namespace {

constexpr std::size_t pieceLimit = 64 * 1024;
constexpr std::size_t requestBodyLimit = 16 * 1024 * 1024;

using EndpointKey = std::pair<CdnRole, std::size_t>;

EndpointKey KeyOf(CdnEndpoint endpoint) {
    return {endpoint.role, endpoint.role == CdnRole::Node ? endpoint.node : 0};
}

std::string JsonEscape(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
            out += buffer;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::optional<std::string> PercentDecode(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
            !std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            return std::nullopt;
        }
        out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
        i += 2;
    }
    return out;
}

// A byte range of a file of `size` bytes, from a Range header; nullopt when the
// header asks for something the file cannot give.
struct ByteRange {
    std::uint64_t first;
    std::uint64_t last;
};

enum class RangeParse { None, Valid, Unsatisfiable };

RangeParse ParseRange(const std::string& header, std::uint64_t size, ByteRange& range) {
    const std::string prefix = "bytes=";
    if (header.empty() || header.compare(0, prefix.size(), prefix) != 0 ||
        header.find(',') != std::string::npos) {
        // Multiple ranges are answered with the whole file, as a server may.
        return RangeParse::None;
    }
    const std::string spec = header.substr(prefix.size());
    const std::size_t dash = spec.find('-');
    if (dash == std::string::npos) {
        return RangeParse::None;
    }
    const std::string from = spec.substr(0, dash);
    const std::string to = spec.substr(dash + 1);
    auto parse = [](const std::string& digits, std::uint64_t& value) {
        if (digits.empty() || digits.size() > 19 ||
            digits.find_first_not_of("0123456789") != std::string::npos) {
            return false;
        }
        value = std::stoull(digits);
        return true;
    };
    std::uint64_t a = 0;
    std::uint64_t b = 0;
    if (from.empty()) {
        if (!parse(to, b) || b == 0 || size == 0) {
            return RangeParse::Unsatisfiable;
        }
        range = {size - std::min(b, size), size - 1};
        return RangeParse::Valid;
    }
    if (!parse(from, a)) {
        return RangeParse::None;
    }
    if (to.empty()) {
        b = size == 0 ? 0 : size - 1;
    } else if (!parse(to, b) || b < a) {
        return RangeParse::None;
    }
    if (a >= size) {
        return RangeParse::Unsatisfiable;
    }
    range = {a, std::min(b, size - 1)};
    return RangeParse::Valid;
}

}  // namespace

class CdnServer::Impl {
  public:
    class Listener;
    class Session;

    explicit Impl(const CdnServerOptions& options);
    ~Impl();

    // Shared state, guarded by mutex_; sessions read it on the server's thread.
    mutable std::mutex mutex_;
    std::string root_;
    std::string canonicalRoot_;
    std::string countryCode_;
    std::size_t nodeCount_;
    std::map<EndpointKey, CdnFault> faults_;
    std::map<EndpointKey, std::vector<CdnRequest>> requests_;
    std::map<EndpointKey, std::shared_ptr<Listener>> listenerOf_;

    std::unique_ptr<asio::io_context> context_;
    std::vector<std::shared_ptr<Listener>> listeners_;
    std::thread thread_;

    std::optional<CdnFault> TakeFault(const EndpointKey& key) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = faults_.find(key);
        if (it == faults_.end() || it->second.kind == CdnFault::Kind::Refuse) {
            return std::nullopt;
        }
        CdnFault fault = it->second;
        if (it->second.times > 0 && --it->second.times == 0) {
            faults_.erase(it);
        }
        return fault;
    }

    void Record(const EndpointKey& key, CdnRequest request) {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_[key].push_back(std::move(request));
    }

    // The file a target names, or nullopt when it names none inside the root.
    std::optional<fs::path> Resolve(const std::string& target) const;

    // Runs `task` on the server's thread and waits for it.
    void RunOnServer(std::function<void()> task) {
        std::packaged_task<void()> packaged(std::move(task));
        std::future<void> done = packaged.get_future();
        asio::post(*context_, [&packaged] { packaged(); });
        done.get();
    }
};

class CdnServer::Impl::Listener : public std::enable_shared_from_this<Listener> {
  public:
    Listener(Impl& server, std::uint16_t port) : server_(server), acceptor_(*server.context_) { Open(port); }

    void Open(std::uint16_t port) {
        const tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), port);
        acceptor_.open(endpoint.protocol());
        acceptor_.set_option(asio::socket_base::reuse_address(true));
        acceptor_.bind(endpoint);
        acceptor_.listen();
        port_ = acceptor_.local_endpoint().port();
    }

    void Accept() {
        acceptor_.async_accept([self = shared_from_this()](beast::error_code error, tcp::socket socket) {
            if (error == asio::error::operation_aborted || !self->acceptor_.is_open()) {
                return;  // closed for a Refuse fault or at shut-down
            }
            if (!error) {
                self->StartSession(std::move(socket));
            }
            self->Accept();
        });
    }

    void StartSession(tcp::socket socket);

    // Stops listening and drops open connections, so that clients reusing a
    // kept-alive connection also have to connect anew and are refused.
    void Refuse();

    void Resume() {
        if (!acceptor_.is_open()) {
            Open(port_);
            Accept();
        }
    }

    bool Serves(CdnRole role) const {
        for (const EndpointKey& key : roles_) {
            if (key.first == role) {
                return true;
            }
        }
        return false;
    }

    std::optional<EndpointKey> KeyFor(CdnRole role) const {
        for (const EndpointKey& key : roles_) {
            if (key.first == role) {
                return key;
            }
        }
        return std::nullopt;
    }

    Impl& server_;
    tcp::acceptor acceptor_;
    std::uint16_t port_ = 0;
    std::vector<EndpointKey> roles_;
    std::vector<std::weak_ptr<Session>> sessions_;
};

class CdnServer::Impl::Session : public std::enable_shared_from_this<Session> {
  public:
    Session(std::shared_ptr<Listener> listener, tcp::socket socket)
        : listener_(std::move(listener)),
          server_(listener_->server_),
          socket_(std::move(socket)),
          timer_(socket_.get_executor()) {}

    void Start() { ReadRequest(); }

    void Close() {
        beast::error_code ignored;
        timer_.cancel();
        socket_.close(ignored);
    }

  private:
    void ReadRequest() {
        parser_.emplace();
        parser_->body_limit(requestBodyLimit);
        http::async_read(socket_, buffer_, *parser_,
                         [self = shared_from_this()](beast::error_code error, std::size_t) {
                             if (error) {
                                 self->Close();
                                 return;
                             }
                             self->Handle(self->parser_->release());
                         });
    }

    void Handle(http::request<http::string_body> request) {
        CdnRequest record;
        record.method = std::string(request.method_string());
        record.target = std::string(request.target());
        record.range = std::string(request[http::field::range]);
        record.acceptEncoding = std::string(request[http::field::accept_encoding]);
        record.userAgent = std::string(request[http::field::user_agent]);
        record.contentType = std::string(request[http::field::content_type]);
        record.body = request.body();
        keepAlive_ = request.keep_alive();

        std::string path = record.target.substr(0, record.target.find('?'));
        std::optional<EndpointKey> key;
        if (request.method() == http::verb::post) {
            key = listener_->KeyFor(CdnRole::Events);
            if (!key) {
                key = listener_->KeyFor(CdnRole::Transfers);
            }
            if (!key) {
                // A POST to a manifest or node port: answered as not allowed below.
                key = listener_->roles_.front();
            }
        } else if (path == "/geo-location" && listener_->Serves(CdnRole::Geolocation)) {
            key = listener_->KeyFor(CdnRole::Geolocation);
        } else if (listener_->Serves(CdnRole::Manifest)) {
            key = listener_->KeyFor(CdnRole::Manifest);
        } else if (listener_->Serves(CdnRole::Node)) {
            key = listener_->KeyFor(CdnRole::Node);
        } else {
            key = listener_->roles_.front();
        }
        key_ = *key;
        fault_ = server_.TakeFault(*key).value_or(CdnFault());

        if (fault_.kind == CdnFault::Kind::Status) {
            if (!fault_.location.empty()) {
                extraHeaders_ = "Location: " + fault_.location + "\r\n";
            }
            Answer(record, static_cast<http::status>(fault_.status), "fault injected\n", "text/plain");
        } else if (request.method() == http::verb::post) {
            if (key->first == CdnRole::Events || key->first == CdnRole::Transfers) {
                Answer(record, http::status::ok, "", "text/plain");
            } else {
                Answer(record, http::status::method_not_allowed, "", "text/plain");
            }
        } else if (request.method() != http::verb::get) {
            Answer(record, http::status::method_not_allowed, "", "text/plain");
        } else if (key->first == CdnRole::Geolocation) {
            std::string country;
            {
                std::lock_guard<std::mutex> lock(server_.mutex_);
                country = server_.countryCode_;
            }
            Answer(record, http::status::ok,
                   "{\"ip\":\"127.0.0.1\",\"country_code\":\"" + JsonEscape(country) +
                       "\",\"country_name\":\"\",\"country_code3\":\"\",\"continent_code\":\"\","
                       "\"isp\":\"talvane-cdn\"}",
                   "application/json");
        } else if (key->first == CdnRole::Manifest && path.compare(0, 11, "/manifests/") != 0 &&
                   path.compare(0, 7, "/nodes/") != 0) {
            Answer(record, http::status::not_found, "not found\n", "text/plain");
        } else if (key->first == CdnRole::Manifest || key->first == CdnRole::Node) {
            ServeFile(record, path);
        } else {
            Answer(record, http::status::not_found, "not found\n", "text/plain");
        }
    }

    void ServeFile(CdnRequest& record, const std::string& path) {
        const std::optional<fs::path> file = server_.Resolve(path);
        if (!file) {
            Answer(record, http::status::not_found, "not found\n", "text/plain");
            return;
        }
        file_.open(file->string(), std::ios::binary);
        beast::error_code error;
        const std::uint64_t size = fs::file_size(*file, error);
        if (!file_ || error) {
            file_ = std::ifstream();
            Answer(record, http::status::internal_server_error, "unreadable\n", "text/plain");
            return;
        }
        ByteRange range{0, size == 0 ? 0 : size - 1};
        switch (ParseRange(record.range, size, range)) {
            case RangeParse::Unsatisfiable:
                file_ = std::ifstream();
                extraHeaders_ = "Content-Range: bytes */" + std::to_string(size) + "\r\n";
                Answer(record, http::status::range_not_satisfiable, "", "text/plain");
                return;
            case RangeParse::Valid:
                extraHeaders_ = "Content-Range: bytes " + std::to_string(range.first) + "-" +
                                std::to_string(range.last) + "/" + std::to_string(size) + "\r\n";
                file_.seekg(static_cast<std::streamoff>(range.first));
                Send(record, http::status::partial_content, range.last - range.first + 1,
                     "application/octet-stream");
                return;
            case RangeParse::None:
                Send(record, http::status::ok, size, "application/octet-stream");
                return;
        }
    }

    void Answer(CdnRequest& record, http::status status, std::string body, const std::string& contentType) {
        memoryBody_ = std::move(body);
        memoryOffset_ = 0;
        Send(record, status, memoryBody_.size(), contentType);
    }

    // Starts a response of `length` bytes taken from the file when one is open,
    // else from memoryBody_.
    void Send(CdnRequest& record, http::status status, std::uint64_t length, const std::string& contentType) {
        record.answeredStatus = static_cast<unsigned>(status);
        bodyLength_ = length;
        extraLength_ = fault_.kind == CdnFault::Kind::Overlong ? fault_.bytes : 0;
        sent_ = 0;
        std::ostringstream header;
        header << "HTTP/1.1 " << static_cast<unsigned>(status) << " " << http::obsolete_reason(status)
               << "\r\n"
               << "Server: talvane-cdn\r\n"
               << "Content-Type: " << contentType << "\r\n"
               << "Content-Length: " << (bodyLength_ + extraLength_) << "\r\n"
               << (status == http::status::ok || status == http::status::partial_content
                       ? "Accept-Ranges: bytes\r\n"
                       : "")
               << extraHeaders_ << "Connection: " << (keepAlive_ ? "keep-alive" : "close") << "\r\n\r\n";
        extraHeaders_.clear();
        header_ = header.str();
        // Recorded before the first byte leaves: asio may send at once, and a client
        // that has its answer must find its request in the record.
        server_.Record(key_, std::move(record));
        asio::async_write(socket_, asio::buffer(header_),
                          [self = shared_from_this()](beast::error_code error, std::size_t) {
                              if (error) {
                                  self->Close();
                                  return;
                              }
                              self->SendPiece();
                          });
    }

    void SendPiece() {
        const std::uint64_t total = bodyLength_ + extraLength_;
        std::uint64_t limit = total - sent_;
        const bool stopsEarly = fault_.kind == CdnFault::Kind::ResetAfter ||
                                fault_.kind == CdnFault::Kind::TruncateAfter ||
                                fault_.kind == CdnFault::Kind::StallAfter;
        if (stopsEarly && sent_ >= fault_.bytes) {
            Misbehave();
            return;
        }
        if (stopsEarly) {
            limit = std::min(limit, fault_.bytes - sent_);
        }
        if (limit == 0) {
            Finished();
            return;
        }
        const std::size_t cap = fault_.kind == CdnFault::Kind::Slow ? fault_.pieceSize : pieceLimit;
        const std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(limit, cap));
        piece_.resize(size);
        for (std::size_t i = 0; i < size; ++i) {
            piece_[i] = 'X';  // the extra bytes of an overlong body
        }
        const std::uint64_t fromBody =
            sent_ < bodyLength_ ? std::min<std::uint64_t>(size, bodyLength_ - sent_) : 0;
        if (fromBody > 0) {
            if (file_.is_open()) {
                file_.read(piece_.data(), static_cast<std::streamsize>(fromBody));
                if (static_cast<std::uint64_t>(file_.gcount()) != fromBody) {
                    Close();  // the file shrank under us; the client sees a short body
                    return;
                }
            } else {
                memoryBody_.copy(piece_.data(), static_cast<std::size_t>(fromBody),
                                 static_cast<std::size_t>(memoryOffset_));
                memoryOffset_ += fromBody;
            }
        }
        if (fault_.kind == CdnFault::Kind::Corrupt && fault_.bytes >= sent_ && fault_.bytes < sent_ + size) {
            piece_[static_cast<std::size_t>(fault_.bytes - sent_)] ^= static_cast<char>(0xFF);
        }
        sent_ += size;
        asio::async_write(
            socket_, asio::buffer(piece_), [self = shared_from_this()](beast::error_code error, std::size_t) {
                if (error) {
                    self->Close();
                    return;
                }
                if (self->fault_.kind == CdnFault::Kind::Slow && self->fault_.delay.count() > 0) {
                    self->timer_.expires_after(self->fault_.delay);
                    self->timer_.async_wait([self](beast::error_code waitError) {
                        if (!waitError) {
                            self->SendPiece();
                        }
                    });
                } else {
                    self->SendPiece();
                }
            });
    }

    void Misbehave() {
        beast::error_code ignored;
        switch (fault_.kind) {
            case CdnFault::Kind::ResetAfter:
                // A zero linger time makes close send a reset instead of a FIN.
                socket_.set_option(asio::socket_base::linger(true, 0), ignored);
                Close();
                return;
            case CdnFault::Kind::TruncateAfter:
                socket_.shutdown(tcp::socket::shutdown_send, ignored);
                Close();
                return;
            default:
                // Stalled: keep the connection open, silent, until the client gives up.
                socket_.async_read_some(
                    asio::buffer(drain_),
                    [self = shared_from_this()](beast::error_code, std::size_t) { self->Close(); });
                return;
        }
    }

    void Finished() {
        file_ = std::ifstream();
        memoryBody_.clear();
        if (keepAlive_) {
            ReadRequest();
        } else {
            beast::error_code ignored;
            socket_.shutdown(tcp::socket::shutdown_send, ignored);
            Close();
        }
    }

    std::shared_ptr<Listener> listener_;
    Impl& server_;
    tcp::socket socket_;
    asio::steady_timer timer_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    bool keepAlive_ = true;
    EndpointKey key_;
    CdnFault fault_;
    std::string header_;
    std::string extraHeaders_;
    std::ifstream file_;
    std::string memoryBody_;
    std::uint64_t memoryOffset_ = 0;
    std::uint64_t bodyLength_ = 0;
    std::uint64_t extraLength_ = 0;
    std::uint64_t sent_ = 0;
    std::vector<char> piece_;
    char drain_[512];
};

void CdnServer::Impl::Listener::StartSession(tcp::socket socket) {
    auto session = std::make_shared<Session>(shared_from_this(), std::move(socket));
    sessions_.erase(std::remove_if(sessions_.begin(), sessions_.end(),
                                   [](const std::weak_ptr<Session>& weak) { return weak.expired(); }),
                    sessions_.end());
    sessions_.push_back(session);
    session->Start();
}

void CdnServer::Impl::Listener::Refuse() {
    beast::error_code ignored;
    acceptor_.close(ignored);
    for (const std::weak_ptr<Session>& weak : sessions_) {
        if (auto session = weak.lock()) {
            session->Close();
        }
    }
    sessions_.clear();
}

std::optional<fs::path> CdnServer::Impl::Resolve(const std::string& target) const {
    const std::optional<std::string> decoded = PercentDecode(target);
    if (!decoded || decoded->empty() || decoded->front() != '/' || decoded->find('\0') != std::string::npos) {
        return std::nullopt;
    }
    fs::path path(root_);
    std::size_t start = 1;
    while (start <= decoded->size()) {
        std::size_t end = decoded->find('/', start);
        if (end == std::string::npos) {
            end = decoded->size();
        }
        const std::string segment = decoded->substr(start, end - start);
        if (segment == "..") {
            return std::nullopt;
        }
        if (!segment.empty() && segment != ".") {
            path /= segment;
        }
        start = end + 1;
    }
    // Symbolic links inside the root must not lead out of it either.
    beast::error_code error;
    const fs::path canonical = fs::canonical(path, error);
    if (error || !fs::is_regular_file(canonical, error)) {
        return std::nullopt;
    }
    const std::string text = canonical.string();
    if (text.compare(0, canonicalRoot_.size(), canonicalRoot_) != 0 || text.size() <= canonicalRoot_.size() ||
        text[canonicalRoot_.size()] != '/') {
        return std::nullopt;
    }
    return canonical;
}

CdnServer::Impl::Impl(const CdnServerOptions& options)
    : root_(options.contentRoot),
      countryCode_(options.countryCode),
      nodeCount_(options.nodeCount),
      context_(std::make_unique<asio::io_context>(1)) {
    beast::error_code error;
    const fs::path canonical = fs::canonical(fs::path(root_), error);
    if (error || !fs::is_directory(canonical, error)) {
        throw std::runtime_error("talvane-cdn: content root is not a directory: " + root_);
    }
    canonicalRoot_ = canonical.string();

    std::vector<std::pair<EndpointKey, std::uint16_t>> wanted = {
        {{CdnRole::Manifest, 0}, options.manifestPort},
        {{CdnRole::Geolocation, 0}, options.geolocationPort},
        {{CdnRole::Events, 0}, options.eventsPort},
        {{CdnRole::Transfers, 0}, options.transfersPort},
    };
    for (std::size_t i = 0; i < nodeCount_; ++i) {
        const std::uint16_t port =
            options.firstNodePort == 0 ? 0 : static_cast<std::uint16_t>(options.firstNodePort + i);
        wanted.push_back({{CdnRole::Node, i}, port});
    }
    std::map<std::uint16_t, std::shared_ptr<Listener>> byPort;
    try {
        for (const auto& [key, port] : wanted) {
            std::shared_ptr<Listener> listener;
            if (port != 0 && byPort.count(port) != 0) {
                listener = byPort[port];
            } else {
                listener = std::make_shared<Listener>(*this, port);
                listeners_.push_back(listener);
                if (port != 0) {
                    byPort[port] = listener;
                }
            }
            listener->roles_.push_back(key);
            listenerOf_[key] = listener;
        }
    } catch (const boost::system::system_error& failure) {
        listeners_.clear();
        listenerOf_.clear();
        throw std::runtime_error(std::string("talvane-cdn: cannot listen: ") + failure.what());
    }
    for (const auto& listener : listeners_) {
        listener->Accept();
    }
    thread_ = std::thread([this] { context_->run(); });
}

CdnServer::Impl::~Impl() {
    context_->stop();
    thread_.join();
    listenerOf_.clear();
    listeners_.clear();
    // Pending handlers still own sessions and listeners; they go with the context.
    context_.reset();
}

CdnServer::CdnServer(const CdnServerOptions& options) : impl_(std::make_unique<Impl>(options)) {}

CdnServer::~CdnServer() = default;

std::uint16_t CdnServer::Port(CdnEndpoint endpoint) const {
    auto it = impl_->listenerOf_.find(KeyOf(endpoint));
    if (it == impl_->listenerOf_.end()) {
        throw std::out_of_range("CdnServer::Port of an endpoint the server does not have");
    }
    return it->second->port_;
}

std::string CdnServer::Authority(CdnEndpoint endpoint) const {
    return "127.0.0.1:" + std::to_string(Port(endpoint));
}

std::string CdnServer::GeolocationUrl() const {
    return "http://" + Authority(CdnEndpoint::Geolocation()) + "/geo-location";
}

std::string CdnServer::EventsUrl() const {
    return "http://" + Authority(CdnEndpoint::Events());
}

std::string CdnServer::TransfersUrl() const {
    return "http://" + Authority(CdnEndpoint::Transfers());
}

std::size_t CdnServer::NodeCount() const {
    return impl_->nodeCount_;
}

const std::string& CdnServer::ContentRoot() const {
    return impl_->root_;
}

void CdnServer::SetFault(CdnEndpoint endpoint, const CdnFault& fault) {
    const EndpointKey key = KeyOf(endpoint);
    std::shared_ptr<Impl::Listener> listener;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex_);
        auto it = impl_->listenerOf_.find(key);
        if (it == impl_->listenerOf_.end()) {
            throw std::out_of_range("CdnServer::SetFault for an endpoint the server does not have");
        }
        listener = it->second;
        if (fault.kind == CdnFault::Kind::None) {
            impl_->faults_.erase(key);
        } else {
            impl_->faults_[key] = fault;
        }
    }
    if (fault.kind == CdnFault::Kind::Refuse) {
        impl_->RunOnServer([listener] { listener->Refuse(); });
    } else {
        impl_->RunOnServer([listener] { listener->Resume(); });
    }
}

void CdnServer::ClearFaults() {
    {
        std::lock_guard<std::mutex> lock(impl_->mutex_);
        impl_->faults_.clear();
    }
    impl_->RunOnServer([this] {
        for (const auto& listener : impl_->listeners_) {
            listener->Resume();
        }
    });
}

void CdnServer::SetCountry(const std::string& countryCode) {
    std::lock_guard<std::mutex> lock(impl_->mutex_);
    impl_->countryCode_ = countryCode;
}

std::vector<CdnRequest> CdnServer::Requests(CdnEndpoint endpoint) const {
    std::lock_guard<std::mutex> lock(impl_->mutex_);
    auto it = impl_->requests_.find(KeyOf(endpoint));
    return it == impl_->requests_.end() ? std::vector<CdnRequest>() : it->second;
}

std::vector<CdnRequest> CdnServer::Posts(CdnEndpoint endpoint) const {
    std::vector<CdnRequest> posts;
    for (CdnRequest& request : Requests(endpoint)) {
        if (request.method == "POST") {
            posts.push_back(std::move(request));
        }
    }
    return posts;
}

}  // namespace tvl::cdn
