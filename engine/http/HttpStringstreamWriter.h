#pragma once

// Collects a response body into an output stream (a manifest's text). Used on
// the executing thread only; the stream is not owned.

#include <iosfwd>

#include "engine/http/HttpWriteCallback.h"

namespace tvl {

class HttpStringstreamWriter : public HttpWriteCallback {
  public:
    explicit HttpStringstreamWriter(std::ostream* stream) : stream_(stream) {}

    HttpRequestStatus Write(const char* data, std::size_t length) override;

  private:
    std::ostream* stream_;
};

}  // namespace tvl
