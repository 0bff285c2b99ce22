#include "engine/events/JsonHttpAnalyticsManager.h"

#include <algorithm>
#include <limits>

#include "engine/events/JsonHttpAnalyticsEventWork.h"
#include "engine/events/JsonText.h"
#include "engine/http/HttpDiscardingWriter.h"
#include "engine/http/HttpRequest.h"
#include "engine/http/HttpRequestFactory.h"
#include "engine/http/HttpSession.h"

namespace tvl {
namespace {

constexpr std::uint32_t kAnalyticsThreads = 3;

std::int32_t Seconds(std::uint32_t seconds) {
    return static_cast<std::int32_t>(std::min<std::uint32_t>(
        seconds, static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max())));
}

}  // namespace

JsonHttpAnalyticsManager::JsonHttpAnalyticsManager(HttpRequestFactory* requestFactory,
                                                   HttpSessionFactory* sessionFactory, std::string eventsUrl,
                                                   std::string transfersUrl,
                                                   std::uint32_t connectTimeoutSeconds,
                                                   std::uint32_t timeoutSeconds, std::uint32_t maxRetries)
    : AnalyticsManager(kAnalyticsThreads, false),
      requestFactory_(requestFactory),
      session_(sessionFactory->Create()),
      eventsUrl_(std::move(eventsUrl)),
      transfersUrl_(std::move(transfersUrl)),
      connectTimeoutSeconds_(connectTimeoutSeconds),
      timeoutSeconds_(timeoutSeconds),
      maxRetries_(maxRetries) {}

JsonHttpAnalyticsManager::~JsonHttpAnalyticsManager() {
    // Every report already queued is sent before the session goes.
    Drain();
}

std::shared_ptr<TrackEventWork> JsonHttpAnalyticsManager::CreateRecord(std::int32_t kind) {
    return std::make_shared<JsonHttpAnalyticsEventWork>(
        kind, kind == TransfersRecord ? transfersUrl_ : eventsUrl_, requestFactory_, session_,
        connectTimeoutSeconds_, timeoutSeconds_, maxRetries_);
}

JsonHttpAnalyticsEventWork::JsonHttpAnalyticsEventWork(std::int32_t kind, std::string url,
                                                       HttpRequestFactory* requestFactory,
                                                       std::shared_ptr<HttpSession> session,
                                                       std::uint32_t connectTimeoutSeconds,
                                                       std::uint32_t timeoutSeconds, std::uint32_t maxRetries)
    : TrackEventWork(kind),
      url_(std::move(url)),
      requestFactory_(requestFactory),
      session_(std::move(session)),
      connectTimeoutSeconds_(connectTimeoutSeconds),
      timeoutSeconds_(timeoutSeconds),
      maxRetries_(maxRetries) {}

bool JsonHttpAnalyticsEventWork::CanRetry() {
    if (retries_ >= maxRetries_) {
        return false;
    }
    ++retries_;
    return true;
}

void JsonHttpAnalyticsEventWork::Reset() {
    TrackEventWork::Reset();
    retries_ = 0;
}

WorkStatus JsonHttpAnalyticsEventWork::ExecuteTask() {
    std::string body;
    try {
        body = JsonText(GetTree());
    } catch (...) {
        return WorkStatus(WorkResult::Error);
    }
    HttpDiscardingWriter writer;
    HttpRequestParams params(url_, &writer);
    params.method = HttpRequestParams::Post;
    params.postData = std::move(body);
    params.contentType = "application/json";
    params.connectTimeoutSeconds = Seconds(connectTimeoutSeconds_);
    params.timeoutSeconds = Seconds(timeoutSeconds_);
    const auto request = requestFactory_->CreateRequest(params, session_);
    switch (request->Execute().result) {
        case HttpRequestResult::Success:
            return WorkStatus(WorkResult::Success);
        case HttpRequestResult::ConnectFailure:
        case HttpRequestResult::HttpServerError:
            return WorkStatus(WorkResult::RetryableError);
        default:
            return WorkStatus(WorkResult::Error);
    }
}

}  // namespace tvl
