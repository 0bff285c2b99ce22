#pragma once

// Reads the user's proxy settings and makes the matching HttpProxy. Holds only
// constants, so it may be used from any thread.

#include <memory>

namespace tvl {

class HttpProxy;

class HttpProxyFactory {
  public:
    HttpProxyFactory() = default;
    virtual ~HttpProxyFactory() = default;
    HttpProxyFactory(const HttpProxyFactory&) = delete;
    HttpProxyFactory& operator=(const HttpProxyFactory&) = delete;

    virtual std::shared_ptr<HttpProxy> Create() = 0;
};

}  // namespace tvl
