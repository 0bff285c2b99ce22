#include "engine/http/HttpRequestFactory.h"

#include "engine/http/HttpProxy.h"
#include "engine/http/HttpProxyFactory.h"
#include "engine/http/HttpRequestPool.h"
#include "engine/http/HttpSession.h"
#include "engine/http/PooledHttpRequestWrapper.h"

namespace tvl {

std::shared_ptr<HttpRequest> HttpRequestFactory::CreateRequest(const HttpRequestParams& params,
                                                               const std::shared_ptr<HttpSession>& session) {
    const std::shared_ptr<HttpRequestPool> pool = session ? session->GetPool() : nullptr;
    if (!pool) {
        return Create(params, proxyFactory_->Create()->GetProxy(params.url));
    }
    std::shared_ptr<HttpProxy> proxy = session->GetProxy();
    if (!proxy) {
        // Two threads may both discover one; either answer is as good.
        proxy = proxyFactory_->Create();
        session->SetProxy(proxy);
    }
    const std::string proxyString = proxy->GetProxy(params.url);
    std::shared_ptr<HttpRequest> request = pool->Get(params, proxyString);
    if (!request) {
        request = Create(params, proxyString);
        pool->Add(request, false);
    }
    return std::make_shared<PooledHttpRequestWrapper>(request, pool);
}

}  // namespace tvl
