#pragma once

// Makes the proxy from the conventional environment variables: http_proxy (or
// HTTP_PROXY), else all_proxy (or ALL_PROXY), with no_proxy (or NO_PROXY) as the
// bypass list. Reads the environment on every Create; holds nothing, so any
// thread may use it as long as nobody changes the environment concurrently.

#include <memory>
#include <string>

#include "engine/http/HttpProxyFactory.h"

namespace tvl {

class EnvironmentHttpProxyFactory : public HttpProxyFactory {
  public:
    // An EmptyHttpProxy when no proxy variable is set, else a ManualHttpProxy.
    std::shared_ptr<HttpProxy> Create() override;

    // The bypass list matching what curl users expect of a no_proxy value: entries
    // separated by commas or blanks, "example.com" and ".example.com" both covering
    // the domain and its subdomains, "*" covering every host. Entries that cannot be
    // a host name or address (CIDR ranges among them) are left out.
    static std::string BypassListFromNoProxy(const std::string& noProxy);
};

}  // namespace tvl
