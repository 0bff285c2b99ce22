#include "engine/http/RoundRobinHttpRequestPool.h"

#include "engine/http/HttpRequest.h"

namespace tvl {

RoundRobinHttpRequestPool::RoundRobinHttpRequestPool() : all_(11), availableSet_(11) {
    all_.max_load_factor(1.0f);
    availableSet_.max_load_factor(1.0f);
}

void RoundRobinHttpRequestPool::Add(const std::shared_ptr<HttpRequest>& request, bool available) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (all_.insert(request).second && available) {
        MakeAvailable(request);
    }
}

std::shared_ptr<HttpRequest> RoundRobinHttpRequestPool::Get(const HttpRequestParams& params,
                                                            const std::string& proxy) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (queue_.empty()) {
        return nullptr;
    }
    std::shared_ptr<HttpRequest> request = queue_.front();
    queue_.pop_front();
    availableSet_.erase(request);
    if (request->Reset(params, proxy)) {
        return request;
    }
    all_.erase(request);
    return Get(params, proxy);
}

void RoundRobinHttpRequestPool::Release(const std::shared_ptr<HttpRequest>& request) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (all_.count(request) != 0) {
        MakeAvailable(request);
    }
}

void RoundRobinHttpRequestPool::MakeAvailable(const std::shared_ptr<HttpRequest>& request) {
    if (availableSet_.insert(request).second) {
        queue_.push_back(request);
    }
}

}  // namespace tvl
