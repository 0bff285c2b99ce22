#include "engine/http/PooledHttpRequestWrapper.h"

#include "engine/http/HttpRequestPool.h"

namespace tvl {

PooledHttpRequestWrapper::PooledHttpRequestWrapper(std::shared_ptr<HttpRequest> request,
                                                   std::shared_ptr<HttpRequestPool> pool)
    // The wrapper's own parameters stay empty; everything lives in the pooled request.
    : HttpRequest(HttpRequestParams(std::string(), nullptr), std::string()),
      request_(std::move(request)),
      pool_(std::move(pool)) {}

PooledHttpRequestWrapper::~PooledHttpRequestWrapper() {
    pool_->Release(request_);
}

HttpRequestStatus PooledHttpRequestWrapper::Execute() {
    return request_->Execute();
}

HttpRequestStatus PooledHttpRequestWrapper::GetStatus() {
    return request_->GetStatus();
}

void PooledHttpRequestWrapper::Cancel() {
    request_->Cancel();
}

bool PooledHttpRequestWrapper::Reset(const HttpRequestParams& params, const std::string& proxy) {
    return request_->Reset(params, proxy);
}

}  // namespace tvl
