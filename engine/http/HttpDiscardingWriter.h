#pragma once

// Takes a response body that nobody reads (an analytics answer) and keeps none
// of it, so an answer of any length costs no memory. Stateless; any thread.

#include "engine/http/HttpWriteCallback.h"

namespace tvl {

class HttpDiscardingWriter : public HttpWriteCallback {
  public:
    HttpRequestStatus Write(const char*, std::size_t length) override {
        return {HttpRequestResult::Success, length};
    }
};

}  // namespace tvl
