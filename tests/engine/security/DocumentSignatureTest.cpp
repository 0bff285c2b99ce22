// The publisher's keys, the signature beside a document and the record of
// accepted releases: each way a signature can fail to hold is refused with
// its own fault, and a genuine one is accepted.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <string>

#include "engine/security/AcceptedReleases.h"
#include "engine/security/DocumentSignature.h"
#include "engine/security/PublisherKey.h"
#include "engine/security/Sha256.h"
#include "tests/support/TemporaryFolder.h"

namespace tvl {
namespace {

constexpr std::int64_t kNow = 1'800'000'000;
const std::string kManifest = "<package id=\"pkg\"><version id=\"v2\"/></package>\n";

SignedStatement ManifestStatement(const std::string& document = kManifest) {
    SignedStatement statement;
    statement.kind = SignedKind::PackageManifest;
    statement.id = "pkg";
    statement.version = "v2";
    statement.issued = kNow - 100;
    statement.expires = kNow + 100;
    statement.documentDigest = Sha256Of(document);
    return statement;
}

SignatureFault FaultOf(const PublisherKeys& keys, const std::string& signature, const std::string& document,
                       const SignatureExpectation& expected, std::int64_t now = kNow) {
    try {
        keys.Verify(signature, document, expected, now);
    } catch (const SignatureRejected& e) {
        return e.Fault();
    }
    ADD_FAILURE() << "accepted";
    return SignatureFault::Missing;
}

TEST(Sha256Test, KnownDigestsAndTheirTextForm) {
    // FIPS 180-2 examples.
    EXPECT_EQ(ToHex(Sha256Of("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(ToHex(Sha256Of("")), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    const std::string zeros(200'000, '\0');
    EXPECT_EQ(Sha256OfZeros(zeros.size()), Sha256Of(zeros));
    EXPECT_EQ(Sha256OfZeros(zeros.size()), Sha256Of(zeros)) << "remembered";
    EXPECT_EQ(Sha256OfZeros(0), Sha256Of(""));

    Sha256 sha;
    sha.Update("a", 1);
    sha.Update("bc", 2);
    EXPECT_EQ(sha.Finish(), Sha256Of("abc"));
    EXPECT_EQ(sha.Finish(), Sha256Of("")) << "Finish starts a new message";

    Sha256Digest parsed{};
    EXPECT_TRUE(ParseSha256Hex(ToHex(Sha256Of("abc")), parsed));
    EXPECT_EQ(parsed, Sha256Of("abc"));
    EXPECT_FALSE(ParseSha256Hex(ToHex(Sha256Of("abc")).substr(1), parsed));
    EXPECT_FALSE(ParseSha256Hex(std::string(63, '0') + "g", parsed));
}

TEST(PublisherKeyTest, KeysRoundTripThroughTextAndFilesAndSign) {
    const test::TemporaryFolder folder;
    const PrivateKey key = PrivateKey::Generate();
    const PublicKey publicKey = key.Public();
    EXPECT_EQ(PublicKey::FromText(publicKey.Text()), publicKey);
    EXPECT_EQ(publicKey.Text().rfind("ed25519:", 0), 0u);
    EXPECT_NE(PrivateKey::Generate().Public(), publicKey);

    const std::string path = folder.Path() + "/publisher.key";
    key.WriteNewFile(path);
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_THROW(PrivateKey::Generate().WriteNewFile(path), KeyError) << "an existing key is never replaced";
    EXPECT_EQ(PrivateKey::FromFile(path).Public(), publicKey);

    const std::string signature = key.Sign("message");
    EXPECT_TRUE(publicKey.Verifies("message", signature));
    EXPECT_FALSE(publicKey.Verifies("messagf", signature));
    EXPECT_FALSE(publicKey.Verifies("message", signature.substr(1)));

    std::ofstream(folder.Path() + "/publisher.pub") << "# comment\n\n" << publicKey.Text() << "\n";
    EXPECT_EQ(PublicKey::FromFile(folder.Path() + "/publisher.pub"), publicKey);
    std::ofstream(folder.Path() + "/bad.pub") << "ed25519:AAAA\n";
    EXPECT_THROW(PublicKey::FromFile(folder.Path() + "/bad.pub"), KeyError);
    EXPECT_THROW(PrivateKey::FromFile(folder.Path() + "/publisher.pub"), KeyError);
    EXPECT_THROW(PublicKey::FromFile(folder.Path() + "/absent.pub"), KeyError);

    const std::string text = publicKey.Text();
    for (const std::string& bad : {std::string("rsa:") + text.substr(8), text.substr(0, text.size() - 1),
                                   text + "A", text.substr(0, 10) + "!" + text.substr(11), std::string("ed25519:")}) {
        EXPECT_THROW(PublicKey::FromText(bad), KeyError) << bad;
    }
    const auto list = ParsePublicKeyList(" " + text + ", " + PrivateKey::Generate().Public().Text() + ";");
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0], publicKey);
    EXPECT_TRUE(ParsePublicKeyList("  ").empty());
    EXPECT_THROW(ParsePublicKeyList(text + " nonsense"), KeyError);
}

TEST(DocumentSignatureTest, AGenuineSignatureHoldsAndEveryAlterationIsRefusedWithItsFault) {
    const PrivateKey key = PrivateKey::Generate();
    const PrivateKey other = PrivateKey::Generate();
    const PublisherKeys keys({key.Public()});
    const SignatureExpectation manifest{SignedKind::PackageManifest, "pkg", "v2"};
    const std::string signature = WriteSignatureFile(ManifestStatement(), key);

    const SignedStatement accepted = keys.Verify(signature, kManifest, manifest, kNow);
    EXPECT_EQ(accepted.version, "v2");
    EXPECT_EQ(accepted.issued, kNow - 100);
    EXPECT_EQ(keys.Verify(signature, kManifest, {SignedKind::PackageManifest, "pkg", ""}, kNow).version, "v2")
        << "the newest version is compared by the caller";

    EXPECT_EQ(FaultOf(keys, signature, kManifest + " ", manifest), SignatureFault::OtherDocument);
    EXPECT_EQ(FaultOf(keys, signature, kManifest, {SignedKind::PackageManifest, "other", "v2"}),
              SignatureFault::OtherPackage);
    EXPECT_EQ(FaultOf(keys, signature, kManifest, {SignedKind::NodeList, "pkg", ""}), SignatureFault::OtherPackage);
    EXPECT_EQ(FaultOf(keys, signature, kManifest, {SignedKind::PackageManifest, "pkg", "v1"}),
              SignatureFault::OtherVersion);
    EXPECT_EQ(FaultOf(keys, signature, kManifest, manifest, kNow + 101), SignatureFault::Expired);
    // Issued later than the clock allows: refused, or a stolen key could sign
    // one release far ahead and lock the genuine ones out as rollbacks.
    EXPECT_EQ(FaultOf(keys, signature, kManifest, manifest, kNow - 100 - MaxIssueTimeAheadSeconds - 1),
              SignatureFault::FromTheFuture);
    EXPECT_NO_THROW(keys.Verify(signature, kManifest, manifest, kNow - 100 - MaxIssueTimeAheadSeconds));
    EXPECT_EQ(FaultOf(PublisherKeys({other.Public()}), signature, kManifest, manifest), SignatureFault::UnknownKey);
    EXPECT_EQ(FaultOf(keys, WriteSignatureFile(ManifestStatement(), other), kManifest, manifest),
              SignatureFault::UnknownKey);

    // A changed field with the signature kept, and a field moved into the
    // text of another key's signature, both stop holding.
    std::string moved = signature;
    moved.replace(moved.find("version: v2"), 11, "version: v3");
    EXPECT_EQ(FaultOf(keys, moved, kManifest, {SignedKind::PackageManifest, "pkg", "v3"}),
              SignatureFault::BadSignature);
    std::string otherKeyNamed = signature;
    const std::string keyLine = "key: " + key.Public().Text();
    otherKeyNamed.replace(otherKeyNamed.find(keyLine), keyLine.size(), "key: " + other.Public().Text());
    EXPECT_EQ(FaultOf(PublisherKeys({key.Public(), other.Public()}), otherKeyNamed, kManifest, manifest),
              SignatureFault::BadSignature);

    // Rotation: either of two trusted keys is accepted.
    const PublisherKeys rotating({other.Public(), key.Public()});
    EXPECT_NO_THROW(rotating.Verify(signature, kManifest, manifest, kNow));
    EXPECT_NO_THROW(rotating.Verify(WriteSignatureFile(ManifestStatement(), other), kManifest, manifest, kNow));

    SignedStatement nodes;
    nodes.kind = SignedKind::NodeList;
    nodes.id = "partner";
    nodes.issued = kNow;
    nodes.documentDigest = Sha256Of("<ArrayOfNodeInfo/>");
    const std::string nodeSignature = WriteSignatureFile(nodes, key);
    EXPECT_EQ(nodeSignature.find("expires"), std::string::npos);
    EXPECT_EQ(nodeSignature.find("version"), std::string::npos);
    EXPECT_NO_THROW(keys.Verify(nodeSignature, "<ArrayOfNodeInfo/>", {SignedKind::NodeList, "partner", ""}, kNow));
    EXPECT_EQ(FaultOf(keys, nodeSignature, "<ArrayOfNodeInfo/>", {SignedKind::PackageManifest, "partner", ""}),
              SignatureFault::OtherPackage);

    SignedStatement unusable = ManifestStatement();
    unusable.id = "two words";
    EXPECT_THROW(WriteSignatureFile(unusable, key), KeyError);
}

TEST(DocumentSignatureTest, TextsThatAreNotExactlyASignatureFileAreMalformed) {
    const PrivateKey key = PrivateKey::Generate();
    const PublisherKeys keys({key.Public()});
    const std::string genuine = WriteSignatureFile(ManifestStatement(), key);
    const auto replaced = [&](const std::string& from, const std::string& to) {
        std::string text = genuine;
        const std::size_t at = text.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return at == std::string::npos ? text : text.replace(at, from.size(), to);
    };
    const std::string bad[] = {
        "",
        std::string(MaxSignatureFileBytes + 1, 'x'),
        replaced("talvane-signature: 1", "talvane-signature: 2"),
        replaced("kind: package-manifest", "kind: installer"),
        replaced("version: v2\n", ""),
        replaced("issued: ", "issued: -"),
        replaced("issued: ", "issued: 0"),
        replaced("expires: ", "expires: soon"),
        replaced("sha256: ", "sha256: 0"),
        replaced("key: ", "key:"),
        replaced("key: ed25519:", "key: ed448:"),
        replaced("signature: ", "signature: *"),
        genuine + "extra: 1\n",
        genuine.substr(0, genuine.size() - 1),
        replaced("\nid: ", "\r\nid: "),
    };
    for (const std::string& text : bad) {
        EXPECT_EQ(FaultOf(keys, text, kManifest, {SignedKind::PackageManifest, "pkg", "v2"}),
                  SignatureFault::Malformed)
            << text;
    }
}

TEST(AcceptedReleasesTest, OlderReleasesAreRefusedAndTheRecordOutlivesTheProcess) {
    const test::TemporaryFolder folder;
    const std::string records = folder.Path() + "/accepted";
    {
        AcceptedReleases releases(records);
        EXPECT_FALSE(releases.Newest("pkg"));
        releases.Accept("pkg", 200);
        releases.Accept("pkg", 200);
        releases.Accept("other", 100);
        try {
            releases.Accept("pkg", 199);
            ADD_FAILURE() << "an older release was accepted";
        } catch (const SignatureRejected& e) {
            EXPECT_EQ(e.Fault(), SignatureFault::Rollback);
        }
        releases.Accept("pkg", 300);
    }
    const AcceptedReleases reopened(records);
    EXPECT_EQ(reopened.Newest("pkg"), 300);
    EXPECT_EQ(reopened.Newest("other"), 100);
    EXPECT_FALSE(reopened.Newest("../pkg"));

    // A record that is not ours counts as none rather than blocking updates.
    std::ofstream(records + "/broken") << "issued: 12x\n";
    EXPECT_FALSE(reopened.Newest("broken"));
}

}  // namespace
}  // namespace tvl
