#include "engine/manifest/ManifestSource.h"

#include <boost/property_tree/ptree.hpp>
#include <new>
#include <sstream>

#include "engine/http/HttpRequest.h"
#include "engine/http/HttpRequestFactory.h"
#include "engine/http/HttpRequestParams.h"
#include "engine/http/HttpStringstreamWriter.h"
#include "engine/manifest/Manifest.h"
#include "engine/manifest/ManifestExceptions.h"
#include "engine/manifest/ManifestParsing.h"
#include "engine/manifest/ManifestVerification.h"

namespace tvl {
namespace {

// Stops taking bytes once a body passes the limit and remembers that it did.
class LimitedWriter : public HttpWriteCallback {
public:
    LimitedWriter(std::ostream* out, std::uint64_t limit) : inner_(out), limit_(limit) {}

    HttpRequestStatus Write(const char* data, std::size_t length) override {
        if (length > limit_ - std::min(taken_, limit_)) {
            exceeded_ = true;
            return HttpRequestStatus(HttpRequestResult::WriteError, 0);
        }
        const HttpRequestStatus status = inner_.Write(data, length);
        taken_ += status.bytesWritten;
        return status;
    }

    bool Exceeded() const { return exceeded_; }

private:
    HttpStringstreamWriter inner_;
    const std::uint64_t limit_;
    std::uint64_t taken_ = 0;
    bool exceeded_ = false;
};

}  // namespace

void ManifestSource::Load(const std::string& key, InputManifest& target) {
    std::string body;
    {
        std::stringstream text;
        Fetch(key, text);
        body = text.str();
    }  // the stream's buffer, up to twice the body, is gone before the body is read
    CheckBody(body);
    ReadBody(body, target);
    CheckRead(target);
}

void ManifestSource::ReadBody(const std::string& body, InputManifest& target) {
    boost::property_tree::ptree tree;
    ParseText(body, tree);
    target.Read(tree);
}

void ManifestSource::ParseText(const std::string& text, boost::property_tree::ptree& tree) {
    std::istringstream in(text);
    Parse(in, tree);
}

HttpManifestSource::HttpManifestSource(std::string url, HttpRequestFactory* requestFactory,
                                       std::shared_ptr<HttpSession> session, std::int32_t connectTimeoutSeconds,
                                       std::int32_t timeoutSeconds, std::uint64_t maxBytes)
    : url_(std::move(url)),
      requestFactory_(requestFactory),
      session_(std::move(session)),
      connectTimeoutSeconds_(connectTimeoutSeconds),
      timeoutSeconds_(timeoutSeconds),
      maxBytes_(maxBytes) {}

HttpManifestSource::~HttpManifestSource() = default;

void HttpManifestSource::SetVerifier(std::unique_ptr<ManifestVerifier> verifier) { verifier_ = std::move(verifier); }

void HttpManifestSource::Fetch(const std::string&, std::ostream& out) { FetchUrl(url_, out, maxBytes_); }

void HttpManifestSource::CheckBody(const std::string& body) {
    if (!verifier_) {
        return;
    }
    std::string signature;
    bool found = true;
    try {
        std::ostringstream text;
        FetchUrl(url_ + ".sig", text, MaxSignatureFileBytes);
        signature = text.str();
    } catch (const ManifestLocatorException&) {
        found = false;  // answered 4xx: the publisher signed nothing here
    } catch (const ManifestParseException&) {
        signature.assign(MaxSignatureFileBytes + 1, ' ');  // longer than any signature: malformed
    }
    verifier_->CheckSigned(found ? &signature : nullptr, body);
}

void HttpManifestSource::CheckRead(InputManifest& target) {
    if (verifier_) {
        verifier_->CheckRead(target);
    }
}

void HttpManifestSource::FetchUrl(const std::string& url, std::ostream& out, std::uint64_t maxBytes) {
    LimitedWriter writer(&out, maxBytes);
    HttpRequestParams params(url, &writer);
    params.connectTimeoutSeconds = connectTimeoutSeconds_;
    params.timeoutSeconds = timeoutSeconds_;
    std::shared_ptr<HttpRequest> request = requestFactory_->CreateRequest(params, session_);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (abortPending_) {
            abortPending_ = false;
            throw ManifestAbortedException();
        }
        currentRequest_ = request;
    }
    const HttpRequestStatus status = request->Execute();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        currentRequest_.reset();
    }
    if (writer.Exceeded()) {
        throw ManifestParseException("manifest larger than " + std::to_string(maxBytes) + " bytes");
    }
    switch (status.result) {
        case HttpRequestResult::Success:
            if (!out.good()) {
                throw ManifestStreamException(status.errorDetails);
            }
            return;
        case HttpRequestResult::Aborted:
            throw ManifestAbortedException();
        case HttpRequestResult::InvalidRequest:
        case HttpRequestResult::HttpClientError:
            throw ManifestLocatorException(status.errorDetails);
        case HttpRequestResult::OutOfMemory:
            throw std::bad_alloc();
        default:
            throw ManifestStreamException(status.errorDetails);
    }
}

void HttpManifestSource::Abort() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (currentRequest_) {
        currentRequest_->Cancel();
    } else {
        abortPending_ = true;
    }
}

void XmlHttpManifestSource::Parse(std::istream& in, boost::property_tree::ptree& tree) { ParseXmlManifest(in, tree); }

void XmlHttpManifestSource::ParseText(const std::string& text, boost::property_tree::ptree& tree) {
    ParseXmlManifestText(text, tree);
}

void XmlHttpManifestSource::ReadBody(const std::string& body, InputManifest& target) {
    if (auto* streamed = dynamic_cast<StreamedXmlManifest*>(&target)) {
        streamed->ReadXml(body);
    } else {
        ManifestSource::ReadBody(body, target);
    }
}

void JsonHttpManifestSource::Parse(std::istream& in, boost::property_tree::ptree& tree) {
    ParseJsonManifest(in, tree);
}

void JsonHttpManifestSource::ParseText(const std::string& text, boost::property_tree::ptree& tree) {
    ParseJsonManifestText(text, tree);
}

}  // namespace tvl
