#include "engine/http/HttpRequestParams.h"

#include <utility>

namespace tvl {

HttpRequestParams::HttpRequestParams(std::string url, HttpWriteCallback* writer)
    : url(std::move(url)), writer(writer), userAgent(userAgentString) {}

}  // namespace tvl
