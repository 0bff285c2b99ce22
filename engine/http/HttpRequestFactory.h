#pragma once

// Makes requests, each with the proxy the user's settings prescribe for its URL.
// Callers use CreateRequest only; with a session the request comes from the
// session's pool. Holds only a pointer to the proxy factory; any thread.

#include <memory>
#include <string>

namespace tvl {

class HttpProxyFactory;
class HttpRequest;
class HttpSession;
struct HttpRequestParams;

class HttpRequestFactory {
  public:
    explicit HttpRequestFactory(HttpProxyFactory* proxyFactory) : proxyFactory_(proxyFactory) {}
    virtual ~HttpRequestFactory() = default;
    HttpRequestFactory(const HttpRequestFactory&) = delete;
    HttpRequestFactory& operator=(const HttpRequestFactory&) = delete;

    // A new, unpooled request. Throws what the implementation's construction throws.
    virtual std::shared_ptr<HttpRequest> Create(const HttpRequestParams& params,
                                                const std::string& proxy) = 0;

    // A request for `params`: a new one when `session` is empty or has no pool,
    // else a pooled one that returns to the session's pool when dropped.
    std::shared_ptr<HttpRequest> CreateRequest(const HttpRequestParams& params,
                                               const std::shared_ptr<HttpSession>& session);

  private:
    HttpProxyFactory* proxyFactory_;  // not owned; outlives the factory
};

}  // namespace tvl
