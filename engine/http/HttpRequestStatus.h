#pragma once

// The status of a request, and also the result of one body write. A plain record
// copied by value.

#include <cstdint>
#include <string>

#include "engine/http/HttpRequestResult.h"

namespace tvl {

struct HttpRequestStatus {
    HttpRequestStatus() = default;
    // A writer's result: the outcome and the bytes it took, nothing else.
    HttpRequestStatus(HttpRequestResult result, std::uint64_t bytesWritten)
        : result(result), bytesWritten(bytesWritten) {}

    HttpRequestResult result = HttpRequestResult::NotStarted;
    std::uint64_t bytesWritten = 0;  // body bytes the writer accepted
    std::uint32_t responseCode = 0;  // last HTTP status code, 0 if none
    std::string ip;                  // numeric peer address of the last connection
    std::string errorDetails;        // empty on success
    std::uint32_t firstByteTimeMs = 0;
    std::uint32_t requestTimeMs = 0;
};

}  // namespace tvl
