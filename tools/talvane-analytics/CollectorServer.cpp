#include "tools/talvane-analytics/CollectorServer.h"

#include <algorithm>
#include <atomic>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <cctype>
#include <future>
#include <mutex>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "tools/talvane-analytics/AnalyticsDocument.h"
#include "tools/talvane-analytics/GroupCommitter.h"

namespace tvl::analytics {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

enum class Role { Events, Transfers, Both };

constexpr std::size_t kHeaderLimit = 16 * 1024;
constexpr std::chrono::seconds kWriteTimeout{30};

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// A collector's own prefix for the post ids it makes, so that collectors
// sharing one database never make the same id.
std::string InstancePrefix() {
    std::random_device device;
    const std::uint64_t value = (static_cast<std::uint64_t>(device()) << 32) ^ device();
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

bool IsJsonContentType(std::string_view value) {
    const std::string_view json = "application/json";
    if (value.size() < json.size()) {
        return false;
    }
    for (std::size_t i = 0; i < json.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(value[i])) != json[i]) {
            return false;
        }
    }
    return value.size() == json.size() || value[json.size()] == ';' || value[json.size()] == ' ';
}

}  // namespace

std::optional<ListenAddress> ParseListenAddress(const std::string& text) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
        return std::nullopt;
    }
    std::string host = text.substr(0, colon);
    const std::string port = text.substr(colon + 1);
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(port) > 65535) {
        return std::nullopt;
    }
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    } else if (host.find(':') != std::string::npos) {
        return std::nullopt;  // an IPv6 address needs its brackets
    }
    ListenAddress address;
    address.host = host.empty() ? "0.0.0.0" : host;
    address.port = static_cast<std::uint16_t>(std::stoul(port));
    return address;
}

class CollectorServer::Impl {
public:
    class Listener;
    class Session;

    Impl(const CollectorOptions& options, GroupCommitter& committer);
    ~Impl();

    std::string Url(Role role) const;
    void Close(std::chrono::milliseconds grace);

    void Register(const std::shared_ptr<Session>& session);
    bool AtConnectionLimit() const { return openSessions_.load() >= maxConnections_; }
    // From a session's destructor, on any thread.
    void SessionEnded();

    std::string NextPostId() { return prefix_ + "-" + std::to_string(++postCounter_); }

    GroupCommitter& committer_;
    const std::chrono::seconds idleTimeout_;
    const std::size_t maxConnections_;
    std::atomic<std::size_t> openSessions_{0};
    // Set before the context goes: sessions it destroys then find no
    // listeners to resume.
    std::atomic<bool> destroying_{false};
    const std::string prefix_;
    std::atomic<std::uint64_t> postCounter_{0};
    std::atomic<std::uint64_t> accepted_{0};
    std::atomic<std::uint64_t> refused_{0};
    // Requests read and not yet answered.
    std::atomic<int> inFlight_{0};
    std::atomic<bool> closing_{false};

    std::unique_ptr<asio::io_context> context_;
    std::vector<std::shared_ptr<Listener>> listeners_;
    std::mutex sessionsMutex_;
    std::vector<std::weak_ptr<Session>> sessions_;
    std::vector<std::thread> threads_;
};

class CollectorServer::Impl::Listener : public std::enable_shared_from_this<Listener> {
public:
    Listener(Impl& server, const ListenAddress& address, Role role)
        : server_(server), acceptor_(asio::make_strand(*server.context_)), role_(role) {
        tcp::resolver resolver(*server.context_);
        const auto results = resolver.resolve(address.host, std::to_string(address.port),
                                              tcp::resolver::passive | tcp::resolver::numeric_service);
        const tcp::endpoint endpoint = results.begin()->endpoint();
        acceptor_.open(endpoint.protocol());
        acceptor_.set_option(asio::socket_base::reuse_address(true));
        acceptor_.bind(endpoint);
        acceptor_.listen(asio::socket_base::max_listen_connections);
        endpoint_ = acceptor_.local_endpoint();
    }

    void Accept() {
        acceptor_.async_accept(asio::make_strand(*server_.context_),
                               [self = shared_from_this()](beast::error_code error, tcp::socket socket) {
                                   if (error == asio::error::operation_aborted || !self->acceptor_.is_open()) {
                                       return;
                                   }
                                   if (!error && !self->server_.closing_) {
                                       self->StartSession(std::move(socket));
                                   }
                                   if (self->server_.AtConnectionLimit()) {
                                       self->paused_ = true;
                                       // A session that ended meanwhile found
                                       // nothing paused to resume.
                                       if (self->server_.AtConnectionLimit() || !self->paused_.exchange(false)) {
                                           return;
                                       }
                                   }
                                   self->Accept();
                               });
    }

    // Accepting again after a session ended, unless it was not paused.
    void ResumeIfPaused() {
        if (paused_.exchange(false)) {
            asio::post(acceptor_.get_executor(), [self = shared_from_this()] {
                if (self->acceptor_.is_open() && !self->server_.closing_) {
                    self->Accept();
                }
            });
        }
    }

    void StartSession(tcp::socket socket);

    void Close() {
        asio::post(acceptor_.get_executor(), [self = shared_from_this()] {
            beast::error_code ignored;
            self->acceptor_.close(ignored);
        });
    }

    std::string Authority() const {
        const std::string host = endpoint_.address().is_v6() ? "[" + endpoint_.address().to_string() + "]"
                                                             : endpoint_.address().to_string();
        return host + ":" + std::to_string(endpoint_.port());
    }

    Impl& server_;
    tcp::acceptor acceptor_;
    Role role_;
    tcp::endpoint endpoint_;
    std::atomic<bool> paused_{false};
};

class CollectorServer::Impl::Session : public std::enable_shared_from_this<Session> {
public:
    Session(Impl& server, Role role, tcp::socket socket)
        : server_(server), role_(role), stream_(std::move(socket)) {
        ++server_.openSessions_;
    }
    ~Session() { server_.SessionEnded(); }

    void Start() {
        asio::dispatch(stream_.get_executor(), [self = shared_from_this()] { self->Read(); });
    }

    // On the session's strand: closes it unless a request is being answered.
    void CloseIfIdle() {
        asio::post(stream_.get_executor(), [self = shared_from_this()] {
            if (!self->busy_) {
                self->Shut();
            }
        });
    }

private:
    void Read() {
        if (server_.closing_) {
            Shut();
            return;
        }
        parser_.emplace();
        parser_->header_limit(kHeaderLimit);
        parser_->body_limit(kMaxBodyBytes);
        buffer_.max_size(kMaxBodyBytes + kHeaderLimit);
        stream_.expires_after(server_.idleTimeout_);
        http::async_read(stream_, buffer_, *parser_,
                         [self = shared_from_this()](beast::error_code error, std::size_t) { self->OnRead(error); });
    }

    void OnRead(beast::error_code error) {
        if (error == http::error::body_limit || error == http::error::buffer_overflow ||
            error == http::error::header_limit) {
            Begin();
            ++server_.refused_;
            Respond(error == http::error::header_limit ? http::status::request_header_fields_too_large
                                                       : http::status::payload_too_large,
                    error == http::error::header_limit
                        ? "the header is larger than " + std::to_string(kHeaderLimit) + " bytes"
                        : "the body is larger than " + std::to_string(kMaxBodyBytes) + " bytes",
                    false);
            return;
        }
        if (error && error.category() == beast::error_code(http::error::end_of_stream).category() &&
            error != http::error::end_of_stream && error != http::error::partial_message) {
            Begin();
            ++server_.refused_;
            Respond(http::status::bad_request, "not an HTTP/1.1 request: " + error.message(), false);
            return;
        }
        if (error) {
            Shut();  // closed, timed out, or cut off mid-request: there is no one to answer
            return;
        }
        Begin();
        Handle(parser_->release());
    }

    void Begin() {
        busy_ = true;
        ++server_.inFlight_;
    }

    void Handle(http::request<http::string_body> request) {
        keepAlive_ = request.keep_alive();
        const std::string_view target(request.target().data(), request.target().size());
        const std::string_view path = target.substr(0, target.find('?'));
        std::optional<DocumentKind> kind;
        if ((path == "/" && role_ == Role::Events) || (path == "/events" && role_ != Role::Transfers)) {
            kind = DocumentKind::Events;
        } else if ((path == "/" && role_ == Role::Transfers) || (path == "/transfers" && role_ != Role::Events)) {
            kind = DocumentKind::Transfers;
        }
        if (!kind) {
            Refuse(http::status::not_found,
                   role_ == Role::Both ? "post events to /events and transfers to /transfers" : "post to /");
            return;
        }
        if (request.method() != http::verb::post) {
            allowPost_ = true;
            Refuse(http::status::method_not_allowed, "only POST is accepted here");
            return;
        }
        const auto contentType = request[http::field::content_type];
        if (!IsJsonContentType(std::string_view(contentType.data(), contentType.size()))) {
            Refuse(http::status::unsupported_media_type, "the body must be application/json");
            return;
        }
        DocumentReading reading = ReadDocument(*kind, request.body());
        if (reading.refusal) {
            Refuse(static_cast<http::status>(reading.refusal->status), reading.refusal->reason);
            return;
        }
        AcceptedPost post;
        post.receivedMs = NowMs();
        post.postId = server_.NextPostId();
        post.events = std::move(reading.events);
        post.transfers = std::move(reading.transfers);
        server_.committer_.Submit(std::move(post), [self = shared_from_this()](CommitOutcome outcome) {
            asio::post(self->stream_.get_executor(), [self, outcome] { self->Committed(outcome); });
        });
    }

    void Committed(CommitOutcome outcome) {
        switch (outcome) {
            case CommitOutcome::Committed:
                ++server_.accepted_;
                Respond(http::status::no_content, "", keepAlive_);
                return;
            case CommitOutcome::Refused:
                Refuse(http::status::unprocessable_entity, "the database refused a value of this post");
                return;
            case CommitOutcome::Unavailable:
                Respond(http::status::service_unavailable, "the post could not be stored; nothing of it was",
                        false);
                return;
        }
    }

    void Refuse(http::status status, const std::string& reason) {
        ++server_.refused_;
        Respond(status, reason, keepAlive_);
    }

    void Respond(http::status status, const std::string& reason, bool keepAlive) {
        response_ = {};
        response_.version(11);
        response_.result(status);
        response_.set(http::field::server, "talvane-analytics");
        if (allowPost_) {
            response_.set(http::field::allow, "POST");
            allowPost_ = false;
        }
        if (!reason.empty()) {
            response_.set(http::field::content_type, "text/plain");
            response_.body() = reason + "\n";
        }
        response_.keep_alive(keepAlive && !server_.closing_);
        response_.prepare_payload();
        stream_.expires_after(kWriteTimeout);
        http::async_write(stream_, response_, [self = shared_from_this()](beast::error_code error, std::size_t) {
            self->OnWritten(error);
        });
    }

    void OnWritten(beast::error_code error) {
        busy_ = false;
        const bool again = !error && response_.keep_alive();
        --server_.inFlight_;
        if (again) {
            Read();
        } else if (!error && parser_ && !parser_->is_done()) {
            Linger();
        } else {
            Shut();
        }
    }

    // A request refused before its body was read (too large, not HTTP) may
    // still be arriving: closing at once would reset the connection and could
    // take the answer with it, so the rest is read and dropped for a while.
    void Linger() {
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
        if (lingered_ == 0) {
            stream_.expires_after(std::chrono::seconds(2));
        }
        stream_.async_read_some(asio::buffer(drain_), [self = shared_from_this()](beast::error_code error,
                                                                                 std::size_t bytes) {
            self->lingered_ += bytes;
            if (error || self->lingered_ > 4 * kMaxBodyBytes) {
                self->stream_.close();
                return;
            }
            self->Linger();
        });
    }

    void Shut() {
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
        stream_.close();
    }

    Impl& server_;
    Role role_;
    beast::tcp_stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    http::response<http::string_body> response_;
    bool keepAlive_ = true;
    bool busy_ = false;
    bool allowPost_ = false;
    std::size_t lingered_ = 0;
    char drain_[4096];
};

void CollectorServer::Impl::Listener::StartSession(tcp::socket socket) {
    auto session = std::make_shared<Session>(server_, role_, std::move(socket));
    server_.Register(session);
    session->Start();
}

void CollectorServer::Impl::SessionEnded() {
    if (--openSessions_ >= maxConnections_ || destroying_ || closing_) {
        return;
    }
    for (const auto& listener : listeners_) {
        listener->ResumeIfPaused();
    }
}

void CollectorServer::Impl::Register(const std::shared_ptr<Session>& session) {
    std::lock_guard<std::mutex> lock(sessionsMutex_);
    sessions_.erase(std::remove_if(sessions_.begin(), sessions_.end(),
                                   [](const std::weak_ptr<Session>& weak) { return weak.expired(); }),
                    sessions_.end());
    sessions_.push_back(session);
}

CollectorServer::Impl::Impl(const CollectorOptions& options, GroupCommitter& committer)
    : committer_(committer),
      idleTimeout_(options.idleTimeout),
      maxConnections_(std::max<std::size_t>(options.maxConnections, 1)),
      prefix_(InstancePrefix()),
      context_(std::make_unique<asio::io_context>(static_cast<int>(std::max(1u, options.threads)))) {
    std::vector<std::pair<ListenAddress, Role>> wanted;
    if (options.both) {
        wanted.push_back({*options.both, Role::Both});
    } else if (options.events && options.transfers && options.events->port != 0 &&
               options.events->host == options.transfers->host && options.events->port == options.transfers->port) {
        wanted.push_back({*options.events, Role::Both});
    } else {
        if (options.events) {
            wanted.push_back({*options.events, Role::Events});
        }
        if (options.transfers) {
            wanted.push_back({*options.transfers, Role::Transfers});
        }
    }
    if (wanted.empty()) {
        throw std::runtime_error("no address to listen on");
    }
    for (const auto& [address, role] : wanted) {
        try {
            listeners_.push_back(std::make_shared<Listener>(*this, address, role));
        } catch (const boost::system::system_error& failure) {
            listeners_.clear();
            throw std::runtime_error("cannot listen on " + address.host + ":" + std::to_string(address.port) +
                                     ": " + failure.code().message());
        }
    }
    for (const auto& listener : listeners_) {
        listener->Accept();
    }
    for (unsigned i = 0; i < std::max(1u, options.threads); ++i) {
        threads_.emplace_back([this] { context_->run(); });
    }
}

CollectorServer::Impl::~Impl() {
    destroying_ = true;
    context_->stop();
    for (std::thread& thread : threads_) {
        thread.join();
    }
    listeners_.clear();
    // Handlers still pending own sessions; they go with the context.
    context_.reset();
}

std::string CollectorServer::Impl::Url(Role role) const {
    for (const auto& listener : listeners_) {
        if (listener->role_ == role) {
            return "http://" + listener->Authority();
        }
        if (listener->role_ == Role::Both) {
            return "http://" + listener->Authority() + (role == Role::Events ? "/events" : "/transfers");
        }
    }
    return "";
}

void CollectorServer::Impl::Close(std::chrono::milliseconds grace) {
    closing_ = true;
    for (const auto& listener : listeners_) {
        listener->Close();
    }
    std::vector<std::shared_ptr<Session>> open;
    {
        std::lock_guard<std::mutex> lock(sessionsMutex_);
        for (const auto& weak : sessions_) {
            if (auto session = weak.lock()) {
                open.push_back(std::move(session));
            }
        }
    }
    for (const auto& session : open) {
        session->CloseIfIdle();
    }
    const auto deadline = std::chrono::steady_clock::now() + grace;
    while (inFlight_ > 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

CollectorServer::CollectorServer(const CollectorOptions& options, GroupCommitter& committer)
    : impl_(std::make_unique<Impl>(options, committer)) {}

CollectorServer::~CollectorServer() = default;

std::string CollectorServer::EventsUrl() const {
    return impl_->Url(Role::Events);
}

std::string CollectorServer::TransfersUrl() const {
    return impl_->Url(Role::Transfers);
}

void CollectorServer::Close(std::chrono::milliseconds grace) {
    impl_->Close(grace);
}

std::uint64_t CollectorServer::AcceptedPosts() const {
    return impl_->accepted_;
}

std::uint64_t CollectorServer::RefusedPosts() const {
    return impl_->refused_;
}

}  // namespace tvl::analytics
