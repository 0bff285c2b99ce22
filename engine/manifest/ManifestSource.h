#pragma once

// Turns a key into a manifest: fetches its text and parses it. HTTP sources
// are made per fetch; Fetch blocks the calling worker thread while Abort may
// come from any other thread.

#include <boost/property_tree/ptree_fwd.hpp>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <string>

#include "engine/manifest/ManifestParsing.h"

namespace tvl {

class HttpRequest;
class HttpRequestFactory;
class ManifestVerifier;
class HttpSession;
class InputManifest;

class ManifestSource {
public:
    virtual ~ManifestSource() = default;
    ManifestSource(const ManifestSource&) = delete;
    ManifestSource& operator=(const ManifestSource&) = delete;

    virtual void Fetch(const std::string& key, std::ostream& out) = 0;
    virtual void Parse(std::istream& in, boost::property_tree::ptree& tree) = 0;

    // Fetch, CheckBody, ReadBody, then CheckRead.
    void Load(const std::string& key, InputManifest& target);

protected:
    ManifestSource() = default;

    // Hooks around reading for sources that must vouch for what they fetched:
    // the exact bytes before anything parses them, the document once read.
    virtual void CheckBody(const std::string&) {}
    virtual void CheckRead(InputManifest&) {}

    // Fills the target from the fetched text: ParseText then Read, unless the
    // source has a better way for this target.
    virtual void ReadBody(const std::string& body, InputManifest& target);

    // Parse of text already in memory; sources whose parser reads text override
    // it to spare a copy of the body.
    virtual void ParseText(const std::string& text, boost::property_tree::ptree& tree);
};

// Fetches one fixed URL. A body beyond `maxBytes` (MaxManifestBytes unless the
// document is read in one pass) fails as ManifestParseException as soon as it
// passes the limit: a server sending that much is not sending a manifest, and
// fetching it again would not help.
class HttpManifestSource : public ManifestSource {
public:
    static constexpr std::uint64_t MaxManifestBytes = ::tvl::MaxManifestBytes;

    HttpManifestSource(std::string url, HttpRequestFactory* requestFactory, std::shared_ptr<HttpSession> session,
                       std::int32_t connectTimeoutSeconds, std::int32_t timeoutSeconds,
                       std::uint64_t maxBytes = MaxManifestBytes);
    ~HttpManifestSource() override;

    // From now on a fetched body counts only with a signature, fetched from
    // the same URL with ".sig" appended, that the verifier accepts.
    void SetVerifier(std::unique_ptr<ManifestVerifier> verifier);

    void Fetch(const std::string& key, std::ostream& out) override;

    // Cancels the request in flight. With none in flight the abort is kept:
    // the next Fetch ends at once as aborted without sending its request, so
    // an abort that lands just before a fetch publishes its request is not
    // lost to a fetch that would then hang until its time-out. That fetch
    // uses the abort up; the one after it runs as usual.
    void Abort();

    const std::string& GetUrl() const { return url_; }

protected:
    void CheckBody(const std::string& body) override;
    void CheckRead(InputManifest& target) override;

private:
    void FetchUrl(const std::string& url, std::ostream& out, std::uint64_t maxBytes);

    std::mutex mutex_;
    const std::string url_;
    HttpRequestFactory* const requestFactory_;
    const std::shared_ptr<HttpSession> session_;
    const std::int32_t connectTimeoutSeconds_;
    const std::int32_t timeoutSeconds_;
    const std::uint64_t maxBytes_;
    std::shared_ptr<HttpRequest> currentRequest_;
    bool abortPending_ = false;  // guarded by mutex_, like the current request
    std::unique_ptr<ManifestVerifier> verifier_;
};

class XmlHttpManifestSource : public HttpManifestSource {
public:
    using HttpManifestSource::HttpManifestSource;
    void Parse(std::istream& in, boost::property_tree::ptree& tree) override;

protected:
    void ParseText(const std::string& text, boost::property_tree::ptree& tree) override;
    // A StreamedXmlManifest reads the text itself, without a tree.
    void ReadBody(const std::string& body, InputManifest& target) override;
};

class JsonHttpManifestSource : public HttpManifestSource {
public:
    using HttpManifestSource::HttpManifestSource;
    void Parse(std::istream& in, boost::property_tree::ptree& tree) override;

protected:
    void ParseText(const std::string& text, boost::property_tree::ptree& tree) override;
};

}  // namespace tvl
