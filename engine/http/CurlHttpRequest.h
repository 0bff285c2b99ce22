#pragma once

// An HttpRequest over one libcurl easy handle, which keeps its connection cache
// across re-arms. Execute blocks the calling thread; Cancel, GetStatus and Reset
// may come from other threads. The mutex guards the status and the performing
// flag and is never held across the library's perform call or the writer.

#include <array>
#include <mutex>
#include <string>

#include "engine/http/HttpRequest.h"

struct curl_slist;

namespace tvl {

class CurlHttpRequest : public HttpRequest {
  public:
    // Throws std::runtime_error when the library cannot be initialised or gives no handle.
    CurlHttpRequest(const HttpRequestParams& params, const std::string& proxy);
    ~CurlHttpRequest() override;

    HttpRequestStatus Execute() override;
    HttpRequestStatus GetStatus() override;
    void Cancel() override;
    bool Reset(const HttpRequestParams& params, const std::string& proxy) override;

  private:
    friend struct CurlCallbacks;

    void Setup();
    void Finish(int code);
    std::size_t OnWrite(const char* data, std::size_t length);
    // Whether the request still runs: what the library's callbacks ask on
    // every block, without copying the whole status.
    bool InProgress();
    // Asks the parameters' keepGoing; a no stops the request as too slow.
    bool KeepGoing();

    void* handle_;  // CURL*, kept opaque so that curl.h stays out of this header
    bool performing_ = false;
    std::mutex mutex_;
    HttpRequestStatus status_;
    curl_slist* headers_ = nullptr;
    // The library's own words for a failure (the size of its CURL_ERROR_SIZE).
    std::array<char, 256> errorText_{};
};

}  // namespace tvl
