#pragma once

// Requests kept for reuse. Implementations serialise Add, Get and Release; any thread.

#include <memory>
#include <string>

namespace tvl {

class HttpRequest;
struct HttpRequestParams;

class HttpRequestPool {
  public:
    HttpRequestPool() = default;
    virtual ~HttpRequestPool() = default;
    HttpRequestPool(const HttpRequestPool&) = delete;
    HttpRequestPool& operator=(const HttpRequestPool&) = delete;

    // Makes the pool know `request`; it is handed out only when `available`.
    virtual void Add(const std::shared_ptr<HttpRequest>& request, bool available) = 0;
    // An available request re-armed with `params` and `proxy`, or empty when none is.
    virtual std::shared_ptr<HttpRequest> Get(const HttpRequestParams& params, const std::string& proxy) = 0;
    // Makes a request of the pool available again; others are ignored.
    virtual void Release(const std::shared_ptr<HttpRequest>& request) = 0;
};

}  // namespace tvl
