#include "engine/http/CurlHttpRequest.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>

#include "engine/http/HttpWriteCallback.h"

namespace tvl {

namespace {

// Initialises the library once for the process and cleans it up at exit. Reached
// from a namespace-scope object, so it runs during static initialisation, and from
// every constructor, so a request built earlier still finds it initialised.
class CurlGlobal {
  public:
    static bool Initialized() {
        static CurlGlobal global;
        return global.initialized_;
    }

    ~CurlGlobal() {
        if (initialized_) {
            curl_global_cleanup();
        }
    }

  private:
    CurlGlobal() : initialized_(curl_global_init(CURL_GLOBAL_ALL) == CURLE_OK) {}

    bool initialized_;
};

[[maybe_unused]] const bool curlInitializedAtStart = CurlGlobal::Initialized();

static_assert(CURL_ERROR_SIZE <= 256, "the error text buffer must hold the library's longest message");

CURL* Handle(void* handle) {
    return static_cast<CURL*>(handle);
}

// The failures whose number alone says too little: which certificate check
// failed, or which trust store could not be read, is in the library's text.
bool IsTlsFailure(int code) {
    switch (code) {
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
        case CURLE_USE_SSL_FAILED:
            return true;
        default:
            return false;
    }
}

const char* NonEmptyEnvironment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : nullptr;
}

// Library codes to result classes; 9, 22 and 78 split on the response code later.
HttpRequestResult Classify(int code, std::uint32_t responseCode) {
    switch (code) {
        case CURLE_OK:
            return HttpRequestResult::Success;
        case CURLE_UNSUPPORTED_PROTOCOL:
        case CURLE_URL_MALFORMAT:
        case CURLE_NOT_BUILT_IN:
            return HttpRequestResult::InvalidRequest;
        case CURLE_COULDNT_RESOLVE_PROXY:
        case CURLE_COULDNT_RESOLVE_HOST:
            return HttpRequestResult::ResolveFailure;
        case CURLE_COULDNT_CONNECT:
            return HttpRequestResult::ConnectFailure;
        case CURLE_REMOTE_ACCESS_DENIED:
        case CURLE_HTTP_RETURNED_ERROR:
        case CURLE_REMOTE_FILE_NOT_FOUND:
            return responseCode < 500 ? HttpRequestResult::HttpClientError
                                      : HttpRequestResult::HttpServerError;
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
            return HttpRequestResult::ConnectionReset;
        case CURLE_WRITE_ERROR:
            return HttpRequestResult::WriteError;
        case CURLE_PARTIAL_FILE:
        case CURLE_RANGE_ERROR:
            return HttpRequestResult::DataMismatch;
        case CURLE_OPERATION_TIMEDOUT:
            return HttpRequestResult::RequestTimeout;
        case CURLE_OUT_OF_MEMORY:
            return HttpRequestResult::OutOfMemory;
        default:
            // A server whose certificate cannot be trusted is as unusable as
            // one that cannot be reached: the same retries, the same error.
            return IsTlsFailure(code) ? HttpRequestResult::ConnectFailure : HttpRequestResult::OtherError;
    }
}

constexpr std::uint32_t maxMilliseconds = 4294967295u;

std::uint32_t SecondsToMilliseconds(double seconds) {
    if (!(seconds > 0)) {
        return 0;
    }
    if (seconds > 4294967.0) {
        return maxMilliseconds;
    }
    return static_cast<std::uint32_t>(seconds * 1000);
}

// The longest a request with these time limits can have taken: measured times are
// capped there, so a clock glitch cannot report more than the limits allow.
std::uint32_t TimeCeilingMs(std::int32_t connectTimeoutSeconds, std::int32_t timeoutSeconds) {
    const std::int64_t hi = std::max(connectTimeoutSeconds, timeoutSeconds);
    const std::int64_t lo = std::min(connectTimeoutSeconds, timeoutSeconds);
    const std::int64_t seconds = hi < 0 ? 604800 : (lo > 0 ? hi + lo : hi);
    return seconds > 4294967 ? maxMilliseconds : static_cast<std::uint32_t>(seconds * 1000);
}

std::uint32_t MeasuredMs(CURL* handle, CURLINFO info, std::uint32_t ceiling) {
    double seconds = 0;
    if (curl_easy_getinfo(handle, info, &seconds) != CURLE_OK) {
        seconds = 0;
    }
    return std::min(SecondsToMilliseconds(seconds), ceiling);
}

}  // namespace

struct CurlCallbacks {
    static std::size_t Write(char* data, std::size_t size, std::size_t count, void* self) {
        return static_cast<CurlHttpRequest*>(self)->OnWrite(data, size * count);
    }

    static int Progress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
        // Any non-zero value aborts the transfer; 42 marks it as ours in traces.
        auto* request = static_cast<CurlHttpRequest*>(self);
        return request->InProgress() && request->KeepGoing() ? 0 : 42;
    }
};

CurlHttpRequest::CurlHttpRequest(const HttpRequestParams& params, const std::string& proxy)
    : HttpRequest(params, proxy), handle_(nullptr) {
    if (!CurlGlobal::Initialized()) {
        throw std::runtime_error("libcurl could not be initialized");
    }
    handle_ = curl_easy_init();
    if (handle_ == nullptr) {
        throw std::runtime_error("curl_easy_init failed");
    }
    Setup();
}

CurlHttpRequest::~CurlHttpRequest() {
    curl_easy_cleanup(Handle(handle_));
    curl_slist_free_all(headers_);
}

void CurlHttpRequest::Setup() {
    CURL* handle = Handle(handle_);
    curl_easy_reset(handle);
    curl_slist_free_all(headers_);
    headers_ = nullptr;

    curl_easy_setopt(handle, CURLOPT_URL, params_.url.c_str());
    curl_easy_setopt(handle, CURLOPT_USERAGENT, params_.userAgent.c_str());
    // Nothing but HTTP, also after a redirect: a node list or a redirect must not
    // send the engine to file://, ftp:// or any other scheme the library knows.
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    // Worker threads must not receive the library's timeout signals.
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);

    // The library's defaults, said again: whatever is fetched over https is
    // trusted only from a server whose certificate chain and name check out.
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
    // OpenSSL's programs take a custom trust store from these variables, but
    // libcurl does not look at them: without this, a store given the usual
    // way would be silently ignored in favour of the system's.
    if (const char* file = NonEmptyEnvironment("SSL_CERT_FILE")) {
        curl_easy_setopt(handle, CURLOPT_CAINFO, file);
    }
    if (const char* directory = NonEmptyEnvironment("SSL_CERT_DIR")) {
        curl_easy_setopt(handle, CURLOPT_CAPATH, directory);
    }
    errorText_[0] = '\0';
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorText_.data());

    if (params_.method == HttpRequestParams::Post) {
        curl_easy_setopt(handle, CURLOPT_POST, 1L);
        curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(params_.postData.size()));
        curl_easy_setopt(handle, CURLOPT_POSTFIELDS, params_.postData.c_str());
        headers_ = curl_slist_append(headers_, ("Content-Type: " + params_.contentType).c_str());
        // Servers that never answer "100 Continue" would cost every larger post a second.
        headers_ = curl_slist_append(headers_, "Expect:");
    }

    if (params_.rangeStart != 0 || params_.rangeEnd != HttpRequestParams::NoRangeEnd) {
        // Without an end the range runs to the end of the file.
        std::string range = std::to_string(params_.rangeStart) + "-";
        if (params_.rangeEnd != HttpRequestParams::NoRangeEnd) {
            range += std::to_string(params_.rangeEnd);
        }
        curl_easy_setopt(handle, CURLOPT_RANGE, range.c_str());
    } else if (!params_.acceptEncoding.empty()) {
        curl_easy_setopt(handle, CURLOPT_ACCEPT_ENCODING, params_.acceptEncoding.c_str());
    }

    // Larger blocks than the library's 16 KiB default: a chunk of a megabyte
    // then costs a few dozen receive calls and callbacks instead of sixty-four.
    curl_easy_setopt(handle, CURLOPT_BUFFERSIZE, 256L * 1024L);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &CurlCallbacks::Write);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &CurlCallbacks::Progress);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);

    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(handle, CURLOPT_MAXREDIRS, 1L);
    curl_easy_setopt(handle, CURLOPT_FAILONERROR, 1L);

    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, static_cast<long>(params_.connectTimeoutSeconds));
    curl_easy_setopt(handle, CURLOPT_TIMEOUT, static_cast<long>(params_.timeoutSeconds));
    if (params_.lowSpeedLimit > 0 && params_.lowSpeedTimeSeconds > 0) {
        curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, static_cast<long>(params_.lowSpeedLimit));
        curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, static_cast<long>(params_.lowSpeedTimeSeconds));
    }

    // The proxy factory has already decided, so the library must not consult the
    // environment a second time: an empty proxy explicitly means a direct connection.
    curl_easy_setopt(handle, CURLOPT_PROXY, proxy_.c_str());

    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers_);
}

HttpRequestStatus CurlHttpRequest::Execute() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (status_.result != HttpRequestResult::NotStarted) {
            return status_;
        }
        performing_ = true;
        status_.result = HttpRequestResult::InProgress;
    }
    const CURLcode code = curl_easy_perform(Handle(handle_));
    Finish(code);
    return GetStatus();
}

HttpRequestStatus CurlHttpRequest::GetStatus() {
    std::lock_guard<std::mutex> lock(mutex_);
    return status_;
}

void CurlHttpRequest::Cancel() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (status_.result == HttpRequestResult::NotStarted || status_.result == HttpRequestResult::InProgress) {
        status_.result = HttpRequestResult::Aborted;
    }
}

bool CurlHttpRequest::Reset(const HttpRequestParams& params, const std::string& proxy) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (status_.result == HttpRequestResult::InProgress || performing_) {
        return false;
    }
    params_ = params;
    proxy_ = proxy;
    status_ = HttpRequestStatus();
    Setup();
    return true;
}

bool CurlHttpRequest::InProgress() {
    std::lock_guard<std::mutex> lock(mutex_);
    return status_.result == HttpRequestResult::InProgress;
}

bool CurlHttpRequest::KeepGoing() {
    if (!params_.keepGoing) {
        return true;
    }
    std::uint64_t written = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        written = status_.bytesWritten;
    }
    // Without the lock: the check may take other locks of its own.
    if (params_.keepGoing(written)) {
        return true;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (status_.result == HttpRequestResult::InProgress) {
        status_.result = HttpRequestResult::RequestTimeout;
        status_.errorDetails = "stopped: slower than another node would be";
    }
    return false;
}

std::size_t CurlHttpRequest::OnWrite(const char* data, std::size_t length) {
    if (!InProgress()) {
        return 0;
    }
    HttpRequestStatus written(HttpRequestResult::Success, length);
    if (params_.writer != nullptr) {
        written = params_.writer->Write(data, length);
    }
    // A writer claiming more than it was offered would make the library misbehave.
    const std::uint64_t taken = std::min<std::uint64_t>(written.bytesWritten, length);
    std::lock_guard<std::mutex> lock(mutex_);
    status_.bytesWritten += taken;
    if (status_.result == HttpRequestResult::InProgress && written.result != HttpRequestResult::Success) {
        status_.result = (written.result == HttpRequestResult::DataMismatch ||
                          written.result == HttpRequestResult::OutOfMemory)
                             ? written.result
                             : HttpRequestResult::WriteError;
        status_.errorDetails = written.errorDetails;
    }
    return static_cast<std::size_t>(taken);
}

void CurlHttpRequest::Finish(int code) {
    CURL* handle = Handle(handle_);
    std::lock_guard<std::mutex> lock(mutex_);
    long responseCode = 0;
    if (curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &responseCode) == CURLE_OK) {
        status_.responseCode = static_cast<std::uint32_t>(responseCode);
    }
    char* ip = nullptr;
    if (curl_easy_getinfo(handle, CURLINFO_PRIMARY_IP, &ip) == CURLE_OK && ip != nullptr && *ip != '\0') {
        status_.ip = ip;
    }
    const std::uint32_t ceiling = TimeCeilingMs(params_.connectTimeoutSeconds, params_.timeoutSeconds);
    status_.firstByteTimeMs = MeasuredMs(handle, CURLINFO_STARTTRANSFER_TIME, ceiling);
    status_.requestTimeMs = MeasuredMs(handle, CURLINFO_TOTAL_TIME, ceiling);
    performing_ = false;

    if (status_.result != HttpRequestResult::InProgress) {
        return;
    }
    status_.result = Classify(code, status_.responseCode);
    if (code != CURLE_OK) {
        status_.errorDetails =
            "libcurl error " + std::to_string(code) + " (HTTP " + std::to_string(status_.responseCode) + ")";
        errorText_.back() = '\0';
        if (IsTlsFailure(code) && errorText_[0] != '\0') {
            status_.errorDetails += ": " + std::string(errorText_.data());
        }
    }
}

}  // namespace tvl
