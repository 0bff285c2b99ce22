#pragma once

// The detached signature a publisher puts beside a package manifest or a node
// list, as "<document>.sig". A small text that old readers never fetch:
//
//   talvane-signature: 1
//   kind: package-manifest            (or node-list)
//   id: <package id, or the partner id of a node list>
//   version: <version id>             (package manifests only)
//   issued: <seconds since 1970, UTC>
//   expires: <seconds since 1970, UTC> (optional)
//   sha256: <the document's exact bytes, 64 hex digits>
//   key: ed25519:<public key in base64>
//   signature: <Ed25519 signature in base64>
//
// Lines end with "\n", fields come in this order, and the signature covers
// every byte before its own line. So it binds the document's bytes to what
// they are for: moved to another package, version or partner, or taken past
// its expiry, it no longer holds.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "engine/security/PublisherKey.h"
#include "engine/security/Sha256.h"

namespace tvl {

enum class SignedKind { PackageManifest, NodeList };

struct SignedStatement {
    SignedKind kind = SignedKind::PackageManifest;
    std::string id;
    std::string version;  // empty for a node list
    std::int64_t issued = 0;
    std::optional<std::int64_t> expires;
    Sha256Digest documentDigest{};
};

// Why a document was not accepted; each is a different attack or mistake, and
// the log says which.
enum class SignatureFault {
    Missing,         // no signature where the publisher's keys ask for one
    Malformed,       // not a signature file this reader understands
    UnknownKey,      // made by a key the deployment does not trust
    BadSignature,    // the signature does not hold for its text
    OtherDocument,   // a valid signature of different bytes
    OtherPackage,    // for another package, partner or kind of document
    OtherVersion,    // for another version of the package
    Expired,         // past the expiry the publisher set
    FromTheFuture,   // issued later than the local clock allows
    Rollback,        // older than a release already accepted on this machine
    MissingDigests,  // a signed manifest without a strong digest per chunk
};

const char* SignatureFaultName(SignatureFault fault);

class SignatureRejected : public std::runtime_error {
public:
    SignatureRejected(SignatureFault fault, const std::string& details);
    SignatureFault Fault() const { return fault_; }

private:
    SignatureFault fault_;
};

// How far an issue time may lie ahead of the local clock (clocks are off by
// hours, not days). Beyond it a signature is refused: the record of accepted
// releases would otherwise let one signature made with a stolen key and a far
// future time lock out the publisher's genuine releases until that time.
inline constexpr std::int64_t MaxIssueTimeAheadSeconds = 2 * 24 * 3600;

// Signature files are a few hundred bytes; anything longer is not one.
inline constexpr std::size_t MaxSignatureFileBytes = 4096;

std::string WriteSignatureFile(const SignedStatement& statement, const PrivateKey& key);

struct ParsedSignature {
    SignedStatement statement;
    std::string keyText;
    std::string signedText;  // the bytes the signature covers
    std::string signature;   // raw, 64 bytes
};

// Throws SignatureRejected(Malformed) for any text that is not exactly the
// format above.
ParsedSignature ReadSignatureFile(std::string_view text);

// What the engine asked for: the signature must be for exactly this.
struct SignatureExpectation {
    SignedKind kind = SignedKind::PackageManifest;
    std::string id;
    // Empty when the document itself names the version (a package's newest
    // version): the caller then compares the statement's version with it.
    std::string version;
};

// The keys a deployment trusts; two at once while a publisher rotates keys.
// Immutable once made; safe from any thread.
class PublisherKeys {
public:
    PublisherKeys() = default;
    explicit PublisherKeys(std::vector<PublicKey> keys) : keys_(std::move(keys)) {}

    bool Empty() const { return keys_.empty(); }
    const std::vector<PublicKey>& Keys() const { return keys_; }

    // Checks `signatureText` against the document's exact bytes, the keys,
    // the expectation and the clock; returns what was signed or throws
    // SignatureRejected.
    SignedStatement Verify(std::string_view signatureText, std::string_view document,
                           const SignatureExpectation& expected, std::int64_t now) const;

private:
    std::vector<PublicKey> keys_;
};

// Reads "ed25519:..." keys separated by blanks, commas or semicolons (the
// deployment file's form); throws KeyError for a malformed one.
std::vector<PublicKey> ParsePublicKeyList(std::string_view text);

}  // namespace tvl
