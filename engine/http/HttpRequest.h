#pragma once

// One GET or POST, performed synchronously by Execute on the calling thread, its
// body streamed into the params' writer. Execute runs on one thread at a time;
// GetStatus, Cancel and Reset may be called from any thread while it runs.

#include <string>
#include <utility>

#include "engine/http/HttpRequestParams.h"
#include "engine/http/HttpRequestStatus.h"

namespace tvl {

class HttpRequest {
  public:
    HttpRequest(const HttpRequestParams& params, std::string proxy)
        : params_(params), proxy_(std::move(proxy)) {}
    virtual ~HttpRequest() = default;
    HttpRequest(const HttpRequest&) = delete;
    HttpRequest& operator=(const HttpRequest&) = delete;

    // Performs the exchange once; later calls return the status of the first.
    virtual HttpRequestStatus Execute() = 0;
    virtual HttpRequestStatus GetStatus() = 0;
    // Stops the request before or during Execute; the result becomes Aborted.
    virtual void Cancel() = 0;
    // Re-arms a finished request with new parameters. Refused (false, nothing
    // changed) while the request is still being performed.
    virtual bool Reset(const HttpRequestParams& params, const std::string& proxy) = 0;

  protected:
    HttpRequestParams params_;
    std::string proxy_;  // empty: direct connection
};

}  // namespace tvl
