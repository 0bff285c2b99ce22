#include "engine/manifest/ManifestVerification.h"

#include <ctime>

#include "engine/manifest/ManifestExceptions.h"
#include "engine/manifest/NodeManifest.h"
#include "engine/manifest/StandardFileManifest.h"
#include "engine/manifest/StandardPackageManifest.h"
#include "engine/security/AcceptedReleases.h"

namespace tvl {
namespace {

[[noreturn]] void Refuse(const SignatureRejected& rejected, const SignatureExpectation& expected) {
    throw ManifestVerificationException(std::string(rejected.what()) + " (" +
                                        (expected.kind == SignedKind::NodeList ? "node list " : "package ") +
                                        expected.id + ")");
}

SignatureExpectation PackageExpectation(const std::string& key) {
    const std::size_t slash = key.find('/');
    SignatureExpectation expected;
    expected.kind = SignedKind::PackageManifest;
    expected.id = key.substr(0, slash);
    expected.version = slash == std::string::npos ? std::string() : key.substr(slash + 1);
    return expected;
}

}  // namespace

PublisherTrust::PublisherTrust(PublisherKeys keys, std::shared_ptr<AcceptedReleases> releases,
                               std::function<std::int64_t()> clock)
    : keys_(std::move(keys)), releases_(std::move(releases)), clock_(std::move(clock)) {}

std::int64_t PublisherTrust::Now() const {
    return clock_ ? clock_() : static_cast<std::int64_t>(std::time(nullptr));
}

ManifestVerifier::ManifestVerifier(std::shared_ptr<const PublisherTrust> trust, SignatureExpectation expected)
    : trust_(std::move(trust)), expected_(std::move(expected)) {}

void ManifestVerifier::CheckSigned(const std::string* signature, const std::string& body) {
    try {
        if (signature == nullptr) {
            throw SignatureRejected(SignatureFault::Missing, std::string());
        }
        statement_ = trust_->Keys().Verify(*signature, body, expected_, trust_->Now());
    } catch (const SignatureRejected& rejected) {
        Refuse(rejected, expected_);
    }
}

PackageManifestVerifier::PackageManifestVerifier(std::shared_ptr<const PublisherTrust> trust, const std::string& key)
    : ManifestVerifier(std::move(trust), PackageExpectation(key)), newest_(key.find('/') == std::string::npos) {}

void PackageManifestVerifier::CheckRead(InputManifest& manifest) {
    auto* package = dynamic_cast<PackageManifest*>(&manifest);
    try {
        if (package == nullptr) {
            throw SignatureRejected(SignatureFault::OtherPackage, "not a package manifest");
        }
        // The signature named a version before the text was parsed; the text
        // must be that version, or a signed old manifest could be served
        // under a newer version's signature.
        if (package->GetVersionId() != statement_.version || package->GetId() != statement_.id) {
            throw SignatureRejected(SignatureFault::OtherVersion,
                                    "signed " + statement_.version + ", the manifest says " + package->GetVersionId());
        }
        for (const auto& file : package->GetFiles()) {
            const auto* standard = dynamic_cast<const StandardFileManifest*>(file.get());
            if (standard == nullptr || !standard->HasDigests()) {
                throw SignatureRejected(SignatureFault::MissingDigests, file->GetPath());
            }
        }
        // Only the newest version can be rolled back: asking for a version by
        // its id is asking for exactly that release.
        if (newest_ && trust_->Releases() != nullptr) {
            trust_->Releases()->Accept(statement_.id, statement_.issued);
        }
        package->RequireDigests();
    } catch (const SignatureRejected& rejected) {
        Refuse(rejected, expected_);
    }
}

NodeListVerifier::NodeListVerifier(std::shared_ptr<const PublisherTrust> trust, const std::string& partnerId)
    : ManifestVerifier(std::move(trust), SignatureExpectation{SignedKind::NodeList, partnerId, std::string()}) {}

void NodeListVerifier::CheckRead(InputManifest&) {}

}  // namespace tvl
