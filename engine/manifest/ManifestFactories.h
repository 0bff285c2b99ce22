#pragma once

// Build the source for a manifest key and load a new manifest from it: package
// manifests and node lists as XML from the manifest host, the geolocation as
// JSON from its configured URL. One instance of each lives as long as the
// transfer service and is shared by all transfers; they hold only settings, so
// every operation may be called from any thread. Retrying is the caller's job.

#include <cstdint>
#include <memory>
#include <string>

namespace tvl {

class GeolocationManifest;
class HttpManifestSource;
class HttpRequestFactory;
class HttpSession;
class ManifestSource;
class NodeListManifest;
class PackageManifest;
class PublisherTrust;
class PublisherTrust;

class PackageManifestFactory {
public:
    virtual ~PackageManifestFactory() = default;
    PackageManifestFactory(const PackageManifestFactory&) = delete;
    PackageManifestFactory& operator=(const PackageManifestFactory&) = delete;

    virtual std::shared_ptr<ManifestSource> CreateSource(const std::string& key) = 0;
    // Throws ManifestLocatorException when the manifest is not the package the key names.
    virtual std::shared_ptr<PackageManifest> LoadManifest(const std::shared_ptr<ManifestSource>& source,
                                                          const std::string& key);
    virtual std::shared_ptr<PackageManifest> GetManifest(const std::string& key);
    // The key is a package id, optionally followed by "/" and a version id.
    virtual bool Matches(const PackageManifest& manifest, const std::string& key) const;

protected:
    PackageManifestFactory() = default;
};

class HttpPackageManifestFactory : public PackageManifestFactory {
public:
    HttpPackageManifestFactory(std::string host, HttpRequestFactory* requestFactory,
                               std::int32_t connectTimeoutSeconds, std::int32_t timeoutSeconds);

    using PackageManifestFactory::GetManifest;
    virtual std::shared_ptr<PackageManifest> GetManifest(const std::string& key,
                                                         const std::shared_ptr<HttpSession>& session);
    virtual std::shared_ptr<HttpManifestSource> CreateSource(const std::string& key,
                                                             const std::shared_ptr<HttpSession>& session) = 0;
    // http://host/manifests/<key>[/current].xml, or https:// when the host
    // names it (see ParseServerAddress); ManifestLocatorException when the host
    // or path cannot form a URL.
    virtual std::string GetUrl(const std::string& key) const = 0;

    // With a trust, every document made from now on must carry the
    // publisher's signature; set before the first transfer starts.
    void SetTrust(std::shared_ptr<const PublisherTrust> trust) { trust_ = std::move(trust); }

protected:
    std::shared_ptr<const PublisherTrust> trust_;
    const std::string host_;
    HttpRequestFactory* const requestFactory_;
    const std::int32_t connectTimeoutSeconds_;
    const std::int32_t timeoutSeconds_;
};

class XmlHttpPackageManifestFactory : public HttpPackageManifestFactory {
public:
    using HttpPackageManifestFactory::HttpPackageManifestFactory;

    std::shared_ptr<ManifestSource> CreateSource(const std::string& key) override;
    std::shared_ptr<HttpManifestSource> CreateSource(const std::string& key,
                                                     const std::shared_ptr<HttpSession>& session) override;
    std::string GetUrl(const std::string& key) const override;
};

class NodeListManifestFactory {
public:
    virtual ~NodeListManifestFactory() = default;
    NodeListManifestFactory(const NodeListManifestFactory&) = delete;
    NodeListManifestFactory& operator=(const NodeListManifestFactory&) = delete;

    virtual std::shared_ptr<ManifestSource> CreateSource(const std::string& key) = 0;
    virtual std::shared_ptr<NodeListManifest> LoadManifest(const std::shared_ptr<ManifestSource>& source,
                                                           const std::string& key);
    virtual std::shared_ptr<NodeListManifest> GetManifest(const std::string& key);

protected:
    NodeListManifestFactory() = default;
};

class HttpNodeListManifestFactory : public NodeListManifestFactory {
public:
    HttpNodeListManifestFactory(std::string host, HttpRequestFactory* requestFactory,
                                std::int32_t connectTimeoutSeconds, std::int32_t timeoutSeconds);

    using NodeListManifestFactory::GetManifest;
    virtual std::shared_ptr<NodeListManifest> GetManifest(const std::string& key,
                                                          const std::shared_ptr<HttpSession>& session);
    virtual std::shared_ptr<HttpManifestSource> CreateSource(const std::string& key,
                                                             const std::shared_ptr<HttpSession>& session) = 0;
    // http://host/nodes/<key>.xml, or https:// when the host names it
    virtual std::string GetUrl(const std::string& key) const = 0;

    // With a trust, every document made from now on must carry the
    // publisher's signature; set before the first transfer starts.
    void SetTrust(std::shared_ptr<const PublisherTrust> trust) { trust_ = std::move(trust); }

protected:
    std::shared_ptr<const PublisherTrust> trust_;
    const std::string host_;
    HttpRequestFactory* const requestFactory_;
    const std::int32_t connectTimeoutSeconds_;
    const std::int32_t timeoutSeconds_;
};

class XmlHttpNodeListManifestFactory : public HttpNodeListManifestFactory {
public:
    using HttpNodeListManifestFactory::HttpNodeListManifestFactory;

    std::shared_ptr<ManifestSource> CreateSource(const std::string& key) override;
    std::shared_ptr<HttpManifestSource> CreateSource(const std::string& key,
                                                     const std::shared_ptr<HttpSession>& session) override;
    std::string GetUrl(const std::string& key) const override;
};

class GeolocationManifestFactory {
public:
    virtual ~GeolocationManifestFactory() = default;
    GeolocationManifestFactory(const GeolocationManifestFactory&) = delete;
    GeolocationManifestFactory& operator=(const GeolocationManifestFactory&) = delete;

    virtual std::shared_ptr<ManifestSource> CreateSource() = 0;
    virtual std::shared_ptr<GeolocationManifest> LoadManifest(const std::shared_ptr<ManifestSource>& source);
    virtual std::shared_ptr<GeolocationManifest> GetManifest();

protected:
    GeolocationManifestFactory() = default;
};

class HttpGeolocationManifestFactory : public GeolocationManifestFactory {
public:
    HttpGeolocationManifestFactory(std::string url, HttpRequestFactory* requestFactory,
                                   std::int32_t connectTimeoutSeconds, std::int32_t timeoutSeconds);

    using GeolocationManifestFactory::GetManifest;
    virtual std::shared_ptr<GeolocationManifest> GetManifest(const std::shared_ptr<HttpSession>& session);
    virtual std::shared_ptr<HttpManifestSource> CreateSource(const std::shared_ptr<HttpSession>& session) = 0;

protected:
    const std::string url_;
    HttpRequestFactory* const requestFactory_;
    const std::int32_t connectTimeoutSeconds_;
    const std::int32_t timeoutSeconds_;
};

class JsonHttpGeolocationManifestFactory : public HttpGeolocationManifestFactory {
public:
    using HttpGeolocationManifestFactory::HttpGeolocationManifestFactory;

    std::shared_ptr<ManifestSource> CreateSource() override;
    std::shared_ptr<HttpManifestSource> CreateSource(const std::shared_ptr<HttpSession>& session) override;
};

}  // namespace tvl
