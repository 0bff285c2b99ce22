#pragma once

// Makes CurlHttpRequest objects. Stateless besides its base; any thread.

#include "engine/http/HttpRequestFactory.h"

namespace tvl {

class CurlHttpRequestFactory : public HttpRequestFactory {
  public:
    using HttpRequestFactory::HttpRequestFactory;

    std::shared_ptr<HttpRequest> Create(const HttpRequestParams& params, const std::string& proxy) override;
};

}  // namespace tvl
