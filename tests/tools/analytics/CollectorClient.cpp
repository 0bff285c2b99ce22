#include "tests/tools/analytics/CollectorClient.h"

#include <sqlite3.h>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <stdexcept>

namespace tvl::test {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

class CollectorClient::Impl {
public:
    explicit Impl(const std::string& url) {
        const std::string rest = url.substr(url.find("://") + 3);
        const std::size_t slash = rest.find('/');
        const std::string authority = rest.substr(0, slash);
        path_ = slash == std::string::npos ? "/" : rest.substr(slash);
        const std::size_t colon = authority.rfind(':');
        host_ = authority.substr(0, colon);
        port_ = authority.substr(colon + 1);
    }

    PostAnswer Post(const std::string& body, const std::string& contentType, const std::string& method,
                    const std::string& path) {
        for (int attempt = 0; attempt < 2; ++attempt) {
            const bool reused = stream_ != nullptr;
            if (!stream_) {
                stream_ = std::make_unique<beast::tcp_stream>(context_);
                beast::error_code error;
                stream_->expires_after(std::chrono::seconds(10));
                stream_->connect(tcp::endpoint(asio::ip::make_address(host_), std::stoi(port_)), error);
                if (error) {
                    stream_.reset();
                    return {};
                }
            }
            http::request<http::string_body> request(http::string_to_verb(method), path.empty() ? path_ : path,
                                                     11);
            request.set(http::field::host, host_ + ":" + port_);
            if (!contentType.empty()) {
                request.set(http::field::content_type, contentType);
            }
            request.body() = body;
            request.prepare_payload();
            request.keep_alive(true);
            beast::error_code error;
            stream_->expires_after(std::chrono::seconds(20));
            http::write(*stream_, request, error);
            http::response<http::string_body> response;
            if (!error || error == asio::error::connection_reset || error == asio::error::broken_pipe) {
                // A server refusing a large body may close before the body is
                // all sent; its answer is still there to read.
                buffer_.clear();
                http::response_parser<http::string_body> parser;
                parser.body_limit(1 << 20);
                beast::error_code readError;
                http::read(*stream_, buffer_, parser, readError);
                if (!readError) {
                    response = parser.release();
                    PostAnswer answer{response.result_int(), response.body(), response.keep_alive()};
                    if (!answer.keepAlive) {
                        stream_.reset();
                    }
                    return answer;
                }
            }
            stream_.reset();
            if (!reused) {
                return {};
            }
            // A kept-alive connection the server had closed: once more on a new one.
        }
        return {};
    }

    asio::io_context context_;
    std::unique_ptr<beast::tcp_stream> stream_;
    beast::flat_buffer buffer_;
    std::string host_;
    std::string port_;
    std::string path_;
};

CollectorClient::CollectorClient(const std::string& url) : impl_(std::make_unique<Impl>(url)) {}
CollectorClient::~CollectorClient() = default;

PostAnswer CollectorClient::Post(const std::string& body, const std::string& contentType, const std::string& method,
                                 const std::string& path) {
    return impl_->Post(body, contentType, method, path);
}

std::int64_t SqliteNumber(const std::string& path, const std::string& query) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        throw std::runtime_error("cannot open " + path);
    }
    sqlite3_stmt* statement = nullptr;
    std::int64_t value = -1;
    if (sqlite3_prepare_v2(db, query.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW) {
        value = sqlite3_column_int64(statement, 0);
    }
    const std::string message = sqlite3_errmsg(db);
    sqlite3_finalize(statement);
    sqlite3_close(db);
    if (value < 0) {
        throw std::runtime_error("query failed: " + query + ": " + message);
    }
    return value;
}

}  // namespace tvl::test
