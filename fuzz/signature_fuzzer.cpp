// Arbitrary bytes through the signature file reader and the check of a
// document against it. The input is the signature file, a NUL byte and the
// document it is checked against; the corpus holds genuine pairs made with the
// key below, so mutations start from signatures that hold.
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/security/DocumentSignature.h"
#include "engine/security/PublisherKey.h"
#include "engine/security/Sha256.h"

namespace {

constexpr std::int64_t kNow = 1700000000;

const tvl::PublisherKeys& Keys() {
    static const tvl::PublisherKeys keys(
        {tvl::PublicKey::FromText("ed25519:L4RnOHUPSmVbw173BGeDF31aodPnDxFxRGETW2PkYrM=")});
    return keys;
}

void Check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

void CheckAccepted(const tvl::SignedStatement& statement, std::string_view document,
                   const tvl::SignatureExpectation& expected) {
    Check(statement.documentDigest == tvl::Sha256Of(document));
    Check(statement.kind == expected.kind && statement.id == expected.id);
    Check(expected.version.empty() || statement.version == expected.version);
    Check(!statement.expires || *statement.expires >= kNow);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, unsigned long size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t split = input.find('\0');
    const std::string_view signature = input.substr(0, split);
    const std::string_view document = split == std::string_view::npos ? std::string_view() : input.substr(split + 1);

    // Only SignatureRejected may leave the reader and the check; anything
    // else reaches libFuzzer as a crash.
    try {
        const tvl::ParsedSignature parsed = tvl::ReadSignatureFile(signature);
        // One spelling per signature: what was read writes back to the input.
        Check(parsed.signedText + "signature: " + tvl::Base64Encode(parsed.signature) + "\n" == signature);
        Check(parsed.statement.issued >= 0 && (!parsed.statement.expires || *parsed.statement.expires >= 0));
        Check(parsed.statement.version.empty() == (parsed.statement.kind == tvl::SignedKind::NodeList));

        const tvl::SignatureExpectation own{parsed.statement.kind, parsed.statement.id, std::string()};
        CheckAccepted(Keys().Verify(signature, document, own, kNow), document, own);
    } catch (const tvl::SignatureRejected&) {
    }
    try {
        const tvl::SignatureExpectation fixed{tvl::SignedKind::PackageManifest, "pkg", "1"};
        CheckAccepted(Keys().Verify(signature, document, fixed, kNow), document, fixed);
    } catch (const tvl::SignatureRejected&) {
    }
    return 0;
}
