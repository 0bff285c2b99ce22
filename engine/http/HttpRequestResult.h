#pragma once

// The outcome class of one HTTP exchange. Stored, compared and written to JSON as
// its unsigned byte value, so the numbers below are part of the stored formats.

#include <cstdint>

namespace tvl {

enum class HttpRequestResult : std::uint8_t {
    NotStarted = 0,
    InProgress = 1,
    Success = 2,
    Aborted = 3,
    InvalidRequest = 4,
    ResolveFailure = 5,
    ConnectFailure = 6,
    HttpClientError = 7,
    HttpServerError = 8,
    ConnectionReset = 9,
    WriteError = 10,
    DataMismatch = 11,
    RequestTimeout = 12,
    OutOfMemory = 13,
    OtherError = 14,
};

}  // namespace tvl
