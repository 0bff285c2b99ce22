#include "engine/manifest/ManifestFactories.h"

#include <Poco/Exception.h>
#include <Poco/URI.h>

#include "engine/manifest/GeolocationManifest.h"
#include "engine/manifest/ManifestExceptions.h"
#include "engine/manifest/ManifestParsing.h"
#include "engine/manifest/ManifestSource.h"
#include "engine/manifest/ManifestValues.h"
#include "engine/manifest/ManifestVerification.h"
#include "engine/manifest/NodeManifest.h"
#include "engine/manifest/StandardPackageManifest.h"

namespace tvl {
namespace {

std::string HttpUrl(const std::string& host, const std::string& path) {
    const auto address = ParseServerAddress(host);
    if (!address) {
        throw ManifestLocatorException("not a usable manifest host: \"" + host + "\"");
    }
    const std::string& authority = address->authority;
    try {
        Poco::URI uri;
        uri.setScheme(address->scheme);
        uri.setAuthority(authority);
        uri.setPath(path);
        if (uri.getHost().empty()) {
            throw ManifestLocatorException("no host in \"" + authority + "\"");
        }
        return uri.toString();
    } catch (const Poco::Exception& e) {
        throw ManifestLocatorException(e.displayText());
    }
}

// The ids in a key become segments of the URL's path, which the builder
// percent-decodes and the client resolves: an id must not leave its segment.
void CheckIds(const std::string& key, std::size_t parts) {
    std::size_t start = 0;
    for (std::size_t part = 1; part <= parts; ++part) {
        const std::size_t slash = part < parts ? key.find('/', start) : std::string::npos;
        const std::size_t length = slash == std::string::npos ? std::string::npos : slash - start;
        const std::string id = key.substr(start, length);
        if (!IsPathSafeId(id)) {
            throw ManifestLocatorException("not a usable id: \"" + id + "\"");
        }
        if (slash == std::string::npos) {
            return;
        }
        start = slash + 1;
    }
}

}  // namespace

std::shared_ptr<PackageManifest> PackageManifestFactory::LoadManifest(const std::shared_ptr<ManifestSource>& source,
                                                                      const std::string& key) {
    auto manifest = std::make_shared<StandardPackageManifest>();
    source->Load(key, *manifest);
    if (!Matches(*manifest, key)) {
        throw ManifestLocatorException();
    }
    return manifest;
}

std::shared_ptr<PackageManifest> PackageManifestFactory::GetManifest(const std::string& key) {
    return LoadManifest(CreateSource(key), key);
}

bool PackageManifestFactory::Matches(const PackageManifest& manifest, const std::string& key) const {
    return manifest.GetId() == key.substr(0, key.find('/'));
}

HttpPackageManifestFactory::HttpPackageManifestFactory(std::string host, HttpRequestFactory* requestFactory,
                                                       std::int32_t connectTimeoutSeconds,
                                                       std::int32_t timeoutSeconds)
    : host_(std::move(host)),
      requestFactory_(requestFactory),
      connectTimeoutSeconds_(connectTimeoutSeconds),
      timeoutSeconds_(timeoutSeconds) {}

std::shared_ptr<PackageManifest> HttpPackageManifestFactory::GetManifest(const std::string& key,
                                                                         const std::shared_ptr<HttpSession>& session) {
    return LoadManifest(CreateSource(key, session), key);
}

std::shared_ptr<ManifestSource> XmlHttpPackageManifestFactory::CreateSource(const std::string& key) {
    return CreateSource(key, nullptr);
}

std::shared_ptr<HttpManifestSource> XmlHttpPackageManifestFactory::CreateSource(
    const std::string& key, const std::shared_ptr<HttpSession>& session) {
    // Package manifests are read in one pass, so they may be as long as big
    // packages need.
    auto source = std::make_shared<XmlHttpManifestSource>(GetUrl(key), requestFactory_, session,
                                                          connectTimeoutSeconds_, timeoutSeconds_,
                                                          MaxPackageManifestBytes);
    if (trust_) {
        source->SetVerifier(std::make_unique<PackageManifestVerifier>(trust_, key));
    }
    return source;
}

std::string XmlHttpPackageManifestFactory::GetUrl(const std::string& key) const {
    CheckIds(key, 2);
    std::string path = "/manifests/" + key;
    if (key.find('/') == std::string::npos) {
        path += "/current";
    }
    return HttpUrl(host_, path + ".xml");
}

std::shared_ptr<NodeListManifest> NodeListManifestFactory::LoadManifest(const std::shared_ptr<ManifestSource>& source,
                                                                        const std::string& key) {
    auto manifest = std::make_shared<StandardNodeListManifest>();
    source->Load(key, *manifest);
    return manifest;
}

std::shared_ptr<NodeListManifest> NodeListManifestFactory::GetManifest(const std::string& key) {
    return LoadManifest(CreateSource(key), key);
}

HttpNodeListManifestFactory::HttpNodeListManifestFactory(std::string host, HttpRequestFactory* requestFactory,
                                                         std::int32_t connectTimeoutSeconds,
                                                         std::int32_t timeoutSeconds)
    : host_(std::move(host)),
      requestFactory_(requestFactory),
      connectTimeoutSeconds_(connectTimeoutSeconds),
      timeoutSeconds_(timeoutSeconds) {}

std::shared_ptr<NodeListManifest> HttpNodeListManifestFactory::GetManifest(const std::string& key,
                                                                           const std::shared_ptr<HttpSession>& session) {
    return LoadManifest(CreateSource(key, session), key);
}

std::shared_ptr<ManifestSource> XmlHttpNodeListManifestFactory::CreateSource(const std::string& key) {
    return CreateSource(key, nullptr);
}

std::shared_ptr<HttpManifestSource> XmlHttpNodeListManifestFactory::CreateSource(
    const std::string& key, const std::shared_ptr<HttpSession>& session) {
    auto source = std::make_shared<XmlHttpManifestSource>(GetUrl(key), requestFactory_, session,
                                                          connectTimeoutSeconds_, timeoutSeconds_);
    if (trust_) {
        source->SetVerifier(std::make_unique<NodeListVerifier>(trust_, key));
    }
    return source;
}

std::string XmlHttpNodeListManifestFactory::GetUrl(const std::string& key) const {
    CheckIds(key, 1);
    return HttpUrl(host_, "/nodes/" + key + ".xml");
}

std::shared_ptr<GeolocationManifest> GeolocationManifestFactory::LoadManifest(
    const std::shared_ptr<ManifestSource>& source) {
    auto manifest = std::make_shared<StandardGeolocationManifest>();
    source->Load(std::string(), *manifest);
    return manifest;
}

std::shared_ptr<GeolocationManifest> GeolocationManifestFactory::GetManifest() { return LoadManifest(CreateSource()); }

HttpGeolocationManifestFactory::HttpGeolocationManifestFactory(std::string url, HttpRequestFactory* requestFactory,
                                                               std::int32_t connectTimeoutSeconds,
                                                               std::int32_t timeoutSeconds)
    : url_(std::move(url)),
      requestFactory_(requestFactory),
      connectTimeoutSeconds_(connectTimeoutSeconds),
      timeoutSeconds_(timeoutSeconds) {}

std::shared_ptr<GeolocationManifest> HttpGeolocationManifestFactory::GetManifest(
    const std::shared_ptr<HttpSession>& session) {
    return LoadManifest(CreateSource(session));
}

std::shared_ptr<ManifestSource> JsonHttpGeolocationManifestFactory::CreateSource() { return CreateSource(nullptr); }

std::shared_ptr<HttpManifestSource> JsonHttpGeolocationManifestFactory::CreateSource(
    const std::shared_ptr<HttpSession>& session) {
    return std::make_shared<JsonHttpManifestSource>(url_, requestFactory_, session, connectTimeoutSeconds_,
                                                    timeoutSeconds_);
}

}  // namespace tvl
