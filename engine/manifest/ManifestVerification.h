#pragma once

// What the publisher's keys require of a fetched manifest or node list. A
// verifier is made per fetch by its factory, only when the deployment names
// keys: the signature beside the document is checked against the document's
// exact bytes before anything parses them, and what was signed is checked
// again against what the parsed document says. Failures throw
// ManifestVerificationException.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "engine/security/DocumentSignature.h"

namespace tvl {

class AcceptedReleases;
class InputManifest;

// The deployment's trust: its keys, the record of accepted releases and the
// clock expiry is judged by. Immutable; shared by every fetch.
class PublisherTrust {
public:
    PublisherTrust(PublisherKeys keys, std::shared_ptr<AcceptedReleases> releases,
                   std::function<std::int64_t()> clock = nullptr);

    const PublisherKeys& Keys() const { return keys_; }
    AcceptedReleases* Releases() const { return releases_.get(); }
    std::int64_t Now() const;

private:
    const PublisherKeys keys_;
    const std::shared_ptr<AcceptedReleases> releases_;
    const std::function<std::int64_t()> clock_;
};

class ManifestVerifier {
public:
    virtual ~ManifestVerifier() = default;
    ManifestVerifier(const ManifestVerifier&) = delete;
    ManifestVerifier& operator=(const ManifestVerifier&) = delete;

    // `signature` is the text fetched from beside the document, or nullptr
    // when there was none.
    void CheckSigned(const std::string* signature, const std::string& body);
    // After the document was read; may only follow a successful CheckSigned.
    virtual void CheckRead(InputManifest& manifest) = 0;

protected:
    ManifestVerifier(std::shared_ptr<const PublisherTrust> trust, SignatureExpectation expected);

    const std::shared_ptr<const PublisherTrust> trust_;
    const SignatureExpectation expected_;
    SignedStatement statement_;
};

// A package manifest: signed for its package and, when a version was asked
// for, that version; otherwise for the version the manifest names, which must
// not be older than the newest one accepted before. Every file must carry a
// strong digest per chunk.
class PackageManifestVerifier : public ManifestVerifier {
public:
    PackageManifestVerifier(std::shared_ptr<const PublisherTrust> trust, const std::string& key);
    void CheckRead(InputManifest& manifest) override;

private:
    const bool newest_;
};

class NodeListVerifier : public ManifestVerifier {
public:
    NodeListVerifier(std::shared_ptr<const PublisherTrust> trust, const std::string& partnerId);
    void CheckRead(InputManifest& manifest) override;
};

}  // namespace tvl
