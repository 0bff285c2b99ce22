#pragma once

// Receives the body of a response piece by piece. Called only on the thread that
// executes the request; implementations never throw and report failures as values.

#include <cstddef>

#include "engine/http/HttpRequestStatus.h"

namespace tvl {

class HttpWriteCallback {
  public:
    virtual ~HttpWriteCallback() = default;

    // Takes up to `length` bytes. The result is Success when all were taken, else
    // WriteError, DataMismatch or OutOfMemory; bytesWritten is the count taken.
    virtual HttpRequestStatus Write(const char* data, std::size_t length) = 0;
};

}  // namespace tvl
