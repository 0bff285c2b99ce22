#pragma once

// Everything one GET or POST needs. A plain record: each request owns its copy.

#include <cstdint>
#include <functional>
#include <limits>
#include <string>

namespace tvl {

class HttpWriteCallback;

// The process-wide user agent. Constant-initialised, so requests built during
// static initialisation of other files see it too.
inline constexpr char userAgentString[] = "Brennic Talvane Delivery TransferService 1.2.1";

struct HttpRequestParams {
    static constexpr std::int32_t Get = 0;
    static constexpr std::int32_t Post = 1;
    static constexpr std::uint64_t NoRangeEnd = std::numeric_limits<std::uint64_t>::max();

    HttpRequestParams(std::string url, HttpWriteCallback* writer);

    std::string url;
    HttpWriteCallback* writer;  // not owned; must outlive the request's Execute
    std::int32_t method = Get;
    std::string postData;
    std::string contentType = "application/x-www-form-urlencoded";  // POST only
    std::string acceptEncoding;
    std::uint64_t rangeStart = 0;
    std::uint64_t rangeEnd = NoRangeEnd;  // inclusive; all bits set means no range
    std::int32_t connectTimeoutSeconds = 5;
    std::int32_t timeoutSeconds = 0;       // 0: no limit
    std::int32_t lowSpeedLimit = 0;        // bytes per second; 0: off
    std::int32_t lowSpeedTimeSeconds = 0;  // 0: off
    std::string userAgent;                 // the process-wide user agent unless changed
    // Asked now and then while the request runs, with the body bytes written
    // so far; false stops the request, which then ends with RequestTimeout.
    // Runs on the thread that performs the request. Empty: never asked.
    std::function<bool(std::uint64_t bytesWritten)> keepGoing;
};

}  // namespace tvl
