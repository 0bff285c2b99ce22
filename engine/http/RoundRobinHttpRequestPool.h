#pragma once

// A pool without size limit that hands out the longest-idle request first, so
// reuse rotates over all requests and their connections. A request whose re-arm
// is refused (it is still being performed) is forgotten. Any thread; one
// recursive mutex serialises every operation.

#include <deque>
#include <mutex>
#include <unordered_set>

#include "engine/http/HttpRequestPool.h"

namespace tvl {

class RoundRobinHttpRequestPool : public HttpRequestPool {
  public:
    RoundRobinHttpRequestPool();

    void Add(const std::shared_ptr<HttpRequest>& request, bool available) override;
    std::shared_ptr<HttpRequest> Get(const HttpRequestParams& params, const std::string& proxy) override;
    void Release(const std::shared_ptr<HttpRequest>& request) override;

  private:
    void MakeAvailable(const std::shared_ptr<HttpRequest>& request);

    // Invariant: a request is in availableSet_ exactly when it is in queue_, and
    // every request of queue_ is in all_.
    std::recursive_mutex mutex_;
    std::unordered_set<std::shared_ptr<HttpRequest>> all_;
    std::unordered_set<std::shared_ptr<HttpRequest>> availableSet_;
    std::deque<std::shared_ptr<HttpRequest>> queue_;  // oldest first
};

}  // namespace tvl
