#pragma once

// What a caller holds of a pooled request: forwards every operation and returns
// the request to its pool when dropped, keeping the pool alive until then. Used by
// one caller at a time, except Cancel, which the pooled request guards itself.

#include <memory>

#include "engine/http/HttpRequest.h"

namespace tvl {

class HttpRequestPool;

class PooledHttpRequestWrapper : public HttpRequest {
  public:
    PooledHttpRequestWrapper(std::shared_ptr<HttpRequest> request, std::shared_ptr<HttpRequestPool> pool);
    ~PooledHttpRequestWrapper() override;

    HttpRequestStatus Execute() override;
    HttpRequestStatus GetStatus() override;
    void Cancel() override;
    bool Reset(const HttpRequestParams& params, const std::string& proxy) override;

  private:
    std::shared_ptr<HttpRequest> request_;
    std::shared_ptr<HttpRequestPool> pool_;
};

}  // namespace tvl
