#include "engine/security/DocumentSignature.h"

#include <charconv>
#include <utility>

namespace tvl {
namespace {

constexpr char kMagicLine[] = "talvane-signature: 1\n";

const char* KindText(SignedKind kind) {
    return kind == SignedKind::NodeList ? "node-list" : "package-manifest";
}

// Ids are what the engine puts into URL paths: printable, no blanks.
bool IsPlainToken(std::string_view text) {
    if (text.empty() || text.size() > 256) {
        return false;
    }
    for (const char c : text) {
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F) {
            return false;
        }
    }
    return true;
}

bool ParseSeconds(std::string_view text, std::int64_t& value) {
    if (text.empty() || text.size() > 18 || (text.size() > 1 && text[0] == '0')) {
        return false;
    }
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && value >= 0;
}

// Splits off the next line, which must be "<name>: <value>\n".
bool NextField(std::string_view& rest, std::string_view name, std::string_view& value) {
    const std::size_t end = rest.find('\n');
    if (end == std::string_view::npos) {
        return false;
    }
    const std::string_view line = rest.substr(0, end);
    if (line.size() < name.size() + 2 || line.substr(0, name.size()) != name ||
        line.substr(name.size(), 2) != ": ") {
        return false;
    }
    value = line.substr(name.size() + 2);
    rest.remove_prefix(end + 1);
    return true;
}

bool PeekField(std::string_view rest, std::string_view name) {
    return rest.size() > name.size() + 1 && rest.substr(0, name.size()) == name && rest[name.size()] == ':';
}

SignatureRejected Malformed(const std::string& what) {
    return SignatureRejected(SignatureFault::Malformed, what);
}

}  // namespace

const char* SignatureFaultName(SignatureFault fault) {
    switch (fault) {
        case SignatureFault::Missing:
            return "missing";
        case SignatureFault::Malformed:
            return "malformed";
        case SignatureFault::UnknownKey:
            return "unknown-key";
        case SignatureFault::BadSignature:
            return "bad-signature";
        case SignatureFault::OtherDocument:
            return "other-document";
        case SignatureFault::OtherPackage:
            return "other-package";
        case SignatureFault::OtherVersion:
            return "other-version";
        case SignatureFault::Expired:
            return "expired";
        case SignatureFault::FromTheFuture:
            return "from-the-future";
        case SignatureFault::Rollback:
            return "rollback";
        case SignatureFault::MissingDigests:
            return "missing-digests";
    }
    return "unknown";
}

SignatureRejected::SignatureRejected(SignatureFault fault, const std::string& details)
    : std::runtime_error(std::string("signature ") + SignatureFaultName(fault) +
                         (details.empty() ? std::string() : ": " + details)),
      fault_(fault) {}

std::string WriteSignatureFile(const SignedStatement& statement, const PrivateKey& key) {
    if (!IsPlainToken(statement.id) ||
        (statement.kind == SignedKind::PackageManifest) != !statement.version.empty() ||
        (!statement.version.empty() && !IsPlainToken(statement.version)) || statement.issued < 0 ||
        (statement.expires && *statement.expires < 0)) {
        throw KeyError("cannot sign: the ids or times are not usable");
    }
    std::string text = kMagicLine;
    text += std::string("kind: ") + KindText(statement.kind) + "\n";
    text += "id: " + statement.id + "\n";
    if (!statement.version.empty()) {
        text += "version: " + statement.version + "\n";
    }
    text += "issued: " + std::to_string(statement.issued) + "\n";
    if (statement.expires) {
        text += "expires: " + std::to_string(*statement.expires) + "\n";
    }
    text += "sha256: " + ToHex(statement.documentDigest) + "\n";
    text += "key: " + key.Public().Text() + "\n";
    const std::string signature = key.Sign(text);
    text += "signature: " + Base64Encode(signature) + "\n";
    return text;
}

ParsedSignature ReadSignatureFile(std::string_view text) {
    if (text.size() > MaxSignatureFileBytes) {
        throw Malformed("longer than a signature file");
    }
    if (text.substr(0, sizeof kMagicLine - 1) != kMagicLine) {
        throw Malformed("not a signature file");
    }
    ParsedSignature parsed;
    std::string_view rest = text.substr(sizeof kMagicLine - 1);
    std::string_view value;
    if (!NextField(rest, "kind", value)) {
        throw Malformed("no kind");
    }
    if (value == "package-manifest") {
        parsed.statement.kind = SignedKind::PackageManifest;
    } else if (value == "node-list") {
        parsed.statement.kind = SignedKind::NodeList;
    } else {
        throw Malformed("unknown kind");
    }
    if (!NextField(rest, "id", value) || !IsPlainToken(value)) {
        throw Malformed("no usable id");
    }
    parsed.statement.id = std::string(value);
    if (parsed.statement.kind == SignedKind::PackageManifest) {
        if (!NextField(rest, "version", value) || !IsPlainToken(value)) {
            throw Malformed("no usable version");
        }
        parsed.statement.version = std::string(value);
    }
    if (!NextField(rest, "issued", value) || !ParseSeconds(value, parsed.statement.issued)) {
        throw Malformed("no usable issue time");
    }
    if (PeekField(rest, "expires")) {
        std::int64_t expires = 0;
        if (!NextField(rest, "expires", value) || !ParseSeconds(value, expires)) {
            throw Malformed("no usable expiry");
        }
        parsed.statement.expires = expires;
    }
    if (!NextField(rest, "sha256", value) || !ParseSha256Hex(value, parsed.statement.documentDigest)) {
        throw Malformed("no usable document digest");
    }
    if (!NextField(rest, "key", value)) {
        throw Malformed("no key");
    }
    parsed.keyText = std::string(value);
    parsed.signedText = std::string(text.substr(0, text.size() - rest.size()));
    if (!NextField(rest, "signature", value) || !rest.empty()) {
        throw Malformed("no signature as the last line");
    }
    try {
        parsed.signature = Base64Decode(value);
    } catch (const KeyError&) {
        throw Malformed("the signature is not base64");
    }
    return parsed;
}

SignedStatement PublisherKeys::Verify(std::string_view signatureText, std::string_view document,
                                      const SignatureExpectation& expected, std::int64_t now) const {
    const ParsedSignature parsed = ReadSignatureFile(signatureText);
    const PublicKey* signer = nullptr;
    try {
        const PublicKey named = PublicKey::FromText(parsed.keyText);
        for (const PublicKey& key : keys_) {
            if (key == named) {
                signer = &key;
            }
        }
    } catch (const KeyError&) {
        throw Malformed("the key is not a publisher key");
    }
    if (signer == nullptr) {
        throw SignatureRejected(SignatureFault::UnknownKey, parsed.keyText);
    }
    if (!signer->Verifies(parsed.signedText, parsed.signature)) {
        throw SignatureRejected(SignatureFault::BadSignature, std::string());
    }
    const SignedStatement& statement = parsed.statement;
    if (statement.kind != expected.kind || statement.id != expected.id) {
        throw SignatureRejected(SignatureFault::OtherPackage,
                                std::string(KindText(statement.kind)) + " " + statement.id);
    }
    if (!expected.version.empty() && statement.version != expected.version) {
        throw SignatureRejected(SignatureFault::OtherVersion, statement.version);
    }
    if (Sha256Of(document) != statement.documentDigest) {
        throw SignatureRejected(SignatureFault::OtherDocument, std::string());
    }
    if (statement.issued > now + MaxIssueTimeAheadSeconds) {
        throw SignatureRejected(SignatureFault::FromTheFuture, "issued at " + std::to_string(statement.issued));
    }
    if (statement.expires && *statement.expires < now) {
        throw SignatureRejected(SignatureFault::Expired, "expired at " + std::to_string(*statement.expires));
    }
    return statement;
}

std::vector<PublicKey> ParsePublicKeyList(std::string_view text) {
    std::vector<PublicKey> keys;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t start = text.find_first_not_of(" \t\r\n,;", at);
        if (start == std::string_view::npos) {
            break;
        }
        const std::size_t end = text.find_first_of(" \t\r\n,;", start);
        keys.push_back(PublicKey::FromText(text.substr(start, end == std::string_view::npos ? end : end - start)));
        at = end == std::string_view::npos ? text.size() : end;
    }
    return keys;
}

}  // namespace tvl
