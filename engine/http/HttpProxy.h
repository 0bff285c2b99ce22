#pragma once

// The proxy to use for a URL. Created per use by the request factory (or once per
// session) and not shared between threads without the session's lock.

#include <string>

namespace tvl {

class HttpProxy {
  public:
    virtual ~HttpProxy() = default;

    // The proxy for `url`, normally "host:port"; empty for a direct connection.
    virtual std::string GetProxy(const std::string& url) = 0;
};

// A direct connection for every URL.
class EmptyHttpProxy : public HttpProxy {
  public:
    std::string GetProxy(const std::string&) override { return std::string(); }
};

}  // namespace tvl
