#pragma once

// One analytics report: its tree, written in the JSON text form, is POSTed as
// "application/json" to one endpoint. A refused connection or a server error
// is tried again at once, up to maxRetries times; the answer's body is dropped
// as it arrives and nothing reports the outcome. Filled by one producer, then run
// once on one of its manager's threads.

#include <cstdint>
#include <memory>
#include <string>

#include "engine/work/TrackEventWork.h"

namespace tvl {

class HttpRequestFactory;
class HttpSession;

class JsonHttpAnalyticsEventWork : public TrackEventWork {
  public:
    // The factory is not owned and outlives the work; the session is shared by
    // every record of one manager.
    JsonHttpAnalyticsEventWork(std::int32_t kind, std::string url, HttpRequestFactory* requestFactory,
                               std::shared_ptr<HttpSession> session, std::uint32_t connectTimeoutSeconds,
                               std::uint32_t timeoutSeconds, std::uint32_t maxRetries);

    bool CanRetry() override;
    void Reset() override;

    const std::string& GetUrl() const { return url_; }
    std::uint32_t GetRetries() const { return retries_; }

  protected:
    // Success for a 2xx answer, RetryableError for a refused connection or a
    // 5xx answer, Error for everything else (a tree that is not JSON included).
    WorkStatus ExecuteTask() override;

  private:
    const std::string url_;
    HttpRequestFactory* const requestFactory_;
    const std::shared_ptr<HttpSession> session_;
    const std::uint32_t connectTimeoutSeconds_;
    const std::uint32_t timeoutSeconds_;
    std::uint32_t retries_ = 0;
    const std::uint32_t maxRetries_;
};

}  // namespace tvl
