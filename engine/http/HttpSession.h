#pragma once

// The requests of one transfer (or of the analytics manager): one proxy,
// discovered on first use, and one pool of reusable requests. Any thread; the
// mutex guards only the proxy pointer.

#include <memory>
#include <mutex>
#include <utility>

namespace tvl {

class HttpProxy;
class HttpRequestPool;

class HttpSession {
  public:
    explicit HttpSession(std::shared_ptr<HttpRequestPool> pool) : pool_(std::move(pool)) {}
    HttpSession(const HttpSession&) = delete;
    HttpSession& operator=(const HttpSession&) = delete;

    std::shared_ptr<HttpRequestPool> GetPool() const { return pool_; }

    std::shared_ptr<HttpProxy> GetProxy() {
        std::lock_guard<std::mutex> lock(mutex_);
        return proxy_;
    }

    void SetProxy(std::shared_ptr<HttpProxy> proxy) {
        std::lock_guard<std::mutex> lock(mutex_);
        proxy_ = std::move(proxy);
    }

  private:
    std::mutex mutex_;
    const std::shared_ptr<HttpRequestPool> pool_;
    std::shared_ptr<HttpProxy> proxy_;
};

// Makes sessions. Implementations hold no state; any thread.
class HttpSessionFactory {
  public:
    virtual ~HttpSessionFactory() = default;
    virtual std::shared_ptr<HttpSession> Create() = 0;
};

// Sessions whose pools hand requests out in first-in, first-out order.
class RoundRobinHttpSessionFactory : public HttpSessionFactory {
  public:
    std::shared_ptr<HttpSession> Create() override;
};

}  // namespace tvl
