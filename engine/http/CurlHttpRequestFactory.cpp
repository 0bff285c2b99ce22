#include "engine/http/CurlHttpRequestFactory.h"

#include "engine/http/CurlHttpRequest.h"

namespace tvl {

std::shared_ptr<HttpRequest> CurlHttpRequestFactory::Create(const HttpRequestParams& params,
                                                            const std::string& proxy) {
    return std::make_shared<CurlHttpRequest>(params, proxy);
}

}  // namespace tvl
