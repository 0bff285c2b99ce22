#pragma once

// The analytics manager that posts every record as a JSON document to the
// analytics service, on three threads of its own, so that up to three posts
// are in flight at once and their order at the server is not defined.
//
// Threading: CreateRecord and Submit may be called from any thread. The
// destructor posts every record already submitted before it returns (each
// bounded by the time-outs), and must not be called from one of its threads.

#include <cstdint>
#include <memory>
#include <string>

#include "engine/events/AnalyticsManager.h"

namespace tvl {

class HttpRequestFactory;
class HttpSession;
class HttpSessionFactory;

class JsonHttpAnalyticsManager : public AnalyticsManager {
  public:
    // The factories are not owned and must outlive the manager; one session is
    // taken from the session factory here. The URLs are those of the events and
    // the transfers endpoints.
    JsonHttpAnalyticsManager(HttpRequestFactory* requestFactory, HttpSessionFactory* sessionFactory,
                             std::string eventsUrl, std::string transfersUrl,
                             std::uint32_t connectTimeoutSeconds, std::uint32_t timeoutSeconds,
                             std::uint32_t maxRetries);
    ~JsonHttpAnalyticsManager() override;

    // A JsonHttpAnalyticsEventWork for the transfers URL when kind is 32, for
    // the events URL otherwise.
    std::shared_ptr<TrackEventWork> CreateRecord(std::int32_t kind) override;

  private:
    HttpRequestFactory* const requestFactory_;
    std::shared_ptr<HttpSession> session_;
    const std::string eventsUrl_;
    const std::string transfersUrl_;
    const std::uint32_t connectTimeoutSeconds_;
    const std::uint32_t timeoutSeconds_;
    const std::uint32_t maxRetries_;
};

}  // namespace tvl
