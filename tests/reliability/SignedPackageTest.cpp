// A signed deployment under attack: manifests and node lists swapped on the
// way, signatures moved, expired or made with another key, an older release
// replayed as the newest, and a download node serving chunks whose bytes
// differ while their CRC-32 still matches. Each attack must end with the
// verification error and the user's text for it, with nothing reported
// complete and nothing made executable; genuine packages, key rotation and
// clients without keys keep working.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <memory>

#include "engine/manifest/Crc32.h"
#include "tests/reliability/ReliabilityHarness.h"
#include "tests/support/Crc32Forgery.h"
#include "tests/support/TestCdn.h"
#include "tests/support/WaitFor.h"

namespace tvl::reliability {
namespace {

namespace fs = std::filesystem;
using cdn::CdnEndpoint;

constexpr unsigned kAuthenticityError = 11;
constexpr char kPayload[] = "#!/bin/sh\nexec evil\n";
// How the work log tells a chunk whose CRC-32 matched and whose SHA-256 did not.
constexpr char kForgedInLog[] = "strongDigestMismatch";

std::int64_t Now() { return static_cast<std::int64_t>(std::time(nullptr)); }

std::size_t Occurrences(const std::string& text, const std::string& word) {
    std::size_t count = 0;
    for (std::size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
        ++count;
    }
    return count;
}

// Whether talvane-get's --json line reports the transfer complete.
bool ReportsCompleted(const std::string& out) { return out.find("\"state\":\"Completed\"") != std::string::npos; }

// Regular files under `folder` that anyone may execute.
std::vector<std::string> ExecutableFiles(const std::string& folder) {
    std::vector<std::string> found;
    std::error_code error;
    for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        if (it->is_regular_file() &&
            (it->status().permissions() & (fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec)) !=
                fs::perms::none) {
            found.push_back(fs::relative(it->path(), folder).generic_string());
        }
    }
    return found;
}

class SignedPackage : public ReliabilityTest {
protected:
    void SetUp() override {
        ReliabilityTest::SetUp();
        for (const char* name : {"a", "b"}) {
            pack::MakeKeyPair(KeyFile(name));
        }
    }

    void TearDown() override {
        forger_.reset();
        ReliabilityTest::TearDown();
    }

    std::string KeyFile(const std::string& name) const { return keys_.Join(name + ".key"); }

    // The package as Pack makes it, signed with key `signer`.
    pack::PackageOptions Signed(const std::string& signer, const std::vector<std::string>& nodes = {}) const {
        pack::PackageOptions options = PackOptions(nodes);
        options.signKey = KeyFile(signer);
        return options;
    }

    // talvane-get for the package into `destination`, trusting `trusted`
    // keys (none: a client without keys).
    std::vector<std::string> GetArguments(const std::vector<std::string>& trusted,
                                          const std::string& destination = std::string(),
                                          const std::string& version = std::string()) const {
        std::vector<std::string> arguments = BaseArguments(3);
        arguments.insert(arguments.end(), {"--partner", "partner", "--package", "pkg", "--dest",
                                           destination.empty() ? destination_ : destination});
        if (!version.empty()) {
            arguments.insert(arguments.end(), {"--package-version", version});
        }
        for (const std::string& key : trusted) {
            arguments.insert(arguments.end(), {"--publisher-key", KeyFile(key) + ".pub"});
        }
        return arguments;
    }

    std::string ManifestFile(const std::string& name) const { return root_.Join("manifests/pkg/" + name); }

    std::string WorkLogs() const { return test::ReadWorkLogs(user_.Path()); }

    void ExpectCompleted(const TalvaneGetProcess::Outcome& outcome) const {
        EXPECT_TRUE(outcome.finished);
        EXPECT_EQ(outcome.signal, 0);
        EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
        EXPECT_TRUE(ReportsCompleted(outcome.out)) << outcome.out;
    }

    // The refusal the user sees, the reason the work log gives (`reason`
    // more often than `reasonsBefore`), and nothing complete or executable
    // in `destination` (the fixture's when empty).
    void ExpectRefused(const TalvaneGetProcess::Outcome& outcome, const std::string& reason,
                       std::size_t reasonsBefore = 0, const std::string& destination = std::string()) const {
        EXPECT_TRUE(outcome.finished);
        EXPECT_EQ(outcome.signal, 0);
        EXPECT_EQ(outcome.exitCode, 1) << outcome.err;
        EXPECT_EQ(OutcomeText(outcome), "error " + std::to_string(kAuthenticityError)) << outcome.err;
        EXPECT_NE(outcome.err.find(ErrorLine(kAuthenticityError)), std::string::npos) << outcome.err;
        EXPECT_FALSE(ReportsCompleted(outcome.out)) << outcome.out;
        EXPECT_GT(Occurrences(WorkLogs(), reason), reasonsBefore)
            << "the work log names the reason\n" << WorkLogs();
        EXPECT_EQ(ExecutableFiles(destination.empty() ? destination_ : destination), std::vector<std::string>{});
        ExpectNothingWrittenOutsideDestination();
    }

    // A second CDN with one node serving the package with every chunk long
    // enough forged: other bytes, the same CRC-32. Returns the node's host.
    std::string StartForgingNode() {
        cdn::CdnServerOptions options;
        options.contentRoot = forgerRoot_.Path();
        options.nodeCount = 1;
        options.countryCode = "DE";
        forger_ = std::make_unique<cdn::CdnServer>(options);
        const std::uint32_t chunk = CurrentMode().chunkSize;
        std::size_t forgedChunks = 0;
        for (const auto& [path, bytes] : source_) {
            std::string forged = bytes;
            for (std::size_t offset = 0; offset < bytes.size(); offset += chunk) {
                const std::size_t length = std::min<std::size_t>(chunk, bytes.size() - offset);
                if (length < sizeof kPayload + 4) {
                    continue;
                }
                const std::string original = bytes.substr(offset, length);
                const std::string replaced = test::ForgeSameCrc32(original, kPayload);
                EXPECT_NE(replaced, original);
                EXPECT_EQ(Crc32(replaced.data(), replaced.size()), Crc32(original.data(), original.size()));
                forged.replace(offset, length, replaced);
                ++forgedChunks;
            }
            forged_[path] = forged;
            WriteWholeFile(forgerRoot_.Join("packages/partner/pkg/1/" + path), forged);
        }
        EXPECT_GT(forgedChunks, TreeChunks(source_, chunk) / 2);
        return forger_->Authority(CdnEndpoint::Node(0));
    }

    // Answers of the forger that carried forged bytes: chunks too short to
    // forge are served as they are.
    std::size_t ForgedAnswers() const {
        std::size_t answers = 0;
        for (const cdn::CdnRequest& request : forger_->Requests(CdnEndpoint::Node(0))) {
            unsigned long long first = 0;
            unsigned long long last = 0;
            answers += request.answeredStatus == 206 &&
                       std::sscanf(request.range.c_str(), "bytes=%llu-%llu", &first, &last) == 2 &&
                       last + 1 >= first + sizeof kPayload + 4;
        }
        return answers;
    }

    test::TemporaryFolder keys_;
    test::TemporaryFolder forgerRoot_;
    test::TemporaryFolder other_;
    std::unique_ptr<cdn::CdnServer> forger_;
    FileTree forged_;
};

// ---------------------------------------------------------------------------
// Which keys sign and which the client trusts.

struct KeyCase {
    const char* name;
    const char* signer;
    std::vector<std::string> trusted;
    const char* refusal;  // empty: delivered
};

void PrintTo(const KeyCase& c, std::ostream* out) { *out << c.name; }

class SigningKeys : public SignedPackage, public ::testing::WithParamInterface<KeyCase> {};

TEST_P(SigningKeys, DeliverWhenTrustedAndAreRefusedOtherwise) {
    const KeyCase& c = GetParam();
    PackWith(Signed(c.signer));
    const auto outcome = RunToEnd(GetArguments(c.trusted));
    if (*c.refusal == '\0') {
        ExpectCompleted(outcome);
        ExpectDestinationMatchesSource();
        EXPECT_EQ(ExecutableFiles(destination_), std::vector<std::string>{"run.sh"});
        ExpectNothingWrittenOutsideDestination();
    } else {
        ExpectRefused(outcome, std::string("signature ") + c.refusal);
        ExpectDestinationEmpty();
        EXPECT_EQ(AllNodeFigures(*server_).answers, 0u) << "no chunk is fetched for a refused manifest";
    }
    Record(std::string("signed with ") + c.signer + ", " + std::to_string(c.trusted.size()) + " key(s) trusted",
           OutcomeText(outcome), *c.refusal == '\0');
}

INSTANTIATE_TEST_SUITE_P(
    Reliability, SigningKeys,
    ::testing::Values(KeyCase{"TheDeploymentsKey", "a", {"a"}, ""},
                      KeyCase{"RotationTheOutgoingKey", "a", {"a", "b"}, ""},
                      KeyCase{"RotationTheIncomingKey", "b", {"b", "a"}, ""},
                      KeyCase{"AKeyNotInTheDeployment", "b", {"a"}, "unknown-key"}),
    [](const ::testing::TestParamInfo<KeyCase>& info) { return std::string(info.param.name); });

TEST_F(SignedPackage, AClientWithoutKeysTakesASignedPackageAsBefore) {
    PackWith(Signed("a"));
    const auto outcome = RunToEnd(GetArguments({}));
    ExpectCompleted(outcome);
    ExpectDestinationMatchesSource();
    ExpectNothingWrittenOutsideDestination();
    for (const cdn::CdnRequest& request : server_->Requests(CdnEndpoint::Manifest())) {
        EXPECT_EQ(request.target.find(".sig"), std::string::npos) << "a client without keys fetched " << request.target;
    }
    Record("signed package, client without keys", OutcomeText(outcome), true);
}

// ---------------------------------------------------------------------------
// Documents changed or signatures moved on the way, with key "a" trusted.

enum class Tamper {
    ChecksumChanged,
    NotXml,
    NodeAdded,
    SignatureMissing,
    OtherPackagesSignature,
    OtherVersionsSignature,
    Expired,
};

struct TamperCase {
    const char* name;
    Tamper tamper;
    const char* refusal;
};

void PrintTo(const TamperCase& c, std::ostream* out) { *out << c.name; }

class TamperedDocuments : public SignedPackage, public ::testing::WithParamInterface<TamperCase> {
protected:
    // Publishes the package signed with "a", then changes what is served;
    // returns the version to ask for (empty: the newest).
    std::string PublishTampered(Tamper tamper) {
        pack::PackageOptions options = Signed("a");
        if (tamper == Tamper::Expired) {
            options.issued = Now() - 3 * 86400;
            options.expiresInDays = 1;
        }
        PackWith(options);
        switch (tamper) {
            case Tamper::ChecksumChanged: {
                std::string manifest = ReadWholeFile(ManifestFile("current.xml"));
                const std::size_t at = manifest.find("checksums=\"");
                EXPECT_NE(at, std::string::npos) << manifest;
                char& digit = manifest[at + 11];
                digit = digit == '0' ? '1' : '0';
                WriteWholeFile(ManifestFile("current.xml"), manifest);
                return std::string();
            }
            case Tamper::NotXml:
                WriteWholeFile(ManifestFile("current.xml"), std::string(5000, '\x7f') + "not a manifest");
                return std::string();
            case Tamper::NodeAdded: {
                // The publisher's own packer, run by the attacker without the key.
                pack::PackageOptions swapped = PackOptions();
                swapped.output = other_.Path();
                swapped.nodes.push_back("127.0.0.1:9");
                pack::BuildPackage(swapped);
                const std::string nodeList = ReadWholeFile(other_.Join("nodes/partner.xml"));
                EXPECT_NE(nodeList.find("127.0.0.1:9"), std::string::npos) << nodeList;
                WriteWholeFile(root_.Join("nodes/partner.xml"), nodeList);
                return std::string();
            }
            case Tamper::SignatureMissing:
                EXPECT_TRUE(fs::remove(ManifestFile("current.xml.sig")));
                return std::string();
            case Tamper::OtherPackagesSignature: {
                pack::PackageOptions other = Signed("a");
                other.packageId = "other";
                other.nodes.clear();
                pack::BuildPackage(other);
                WriteWholeFile(ManifestFile("current.xml.sig"),
                               ReadWholeFile(root_.Join("manifests/other/current.xml.sig")));
                return std::string();
            }
            case Tamper::OtherVersionsSignature: {
                pack::PackageOptions next = Signed("a");
                next.versionId = "2";
                next.current = false;
                next.nodes.clear();
                pack::BuildPackage(next);
                WriteWholeFile(ManifestFile("1.xml.sig"), ReadWholeFile(ManifestFile("2.xml.sig")));
                return "1";
            }
            case Tamper::Expired:
                return std::string();
        }
        return std::string();
    }
};

TEST_P(TamperedDocuments, AreRefusedBeforeAnythingIsWritten) {
    const TamperCase& c = GetParam();
    const std::string version = PublishTampered(c.tamper);
    const auto outcome = RunToEnd(GetArguments({"a"}, std::string(), version));
    ExpectRefused(outcome, std::string("signature ") + c.refusal);
    // Checked before parsing: bytes that are no manifest at all are refused
    // as unverified, not as broken content.
    EXPECT_EQ(outcome.err.find(ErrorLine(1)), std::string::npos) << outcome.err;
    ExpectDestinationEmpty();
    EXPECT_EQ(AllNodeFigures(*server_).answers, 0u) << "no chunk is fetched for a refused document";
    Record(c.name, OutcomeText(outcome), false);
}

INSTANTIATE_TEST_SUITE_P(
    Reliability, TamperedDocuments,
    ::testing::Values(TamperCase{"AManifestWithOneChecksumChanged", Tamper::ChecksumChanged, "other-document"},
                      TamperCase{"AManifestThatIsNotXml", Tamper::NotXml, "other-document"},
                      TamperCase{"ANodeListWithAnotherNodeAdded", Tamper::NodeAdded, "other-document"},
                      TamperCase{"AManifestWithoutItsSignature", Tamper::SignatureMissing, "missing"},
                      TamperCase{"AnotherPackagesSignature", Tamper::OtherPackagesSignature, "other-package"},
                      TamperCase{"AnotherVersionsSignature", Tamper::OtherVersionsSignature, "other-version"},
                      TamperCase{"AnExpiredSignature", Tamper::Expired, "expired"}),
    [](const ::testing::TestParamInfo<TamperCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// An older release replayed as the newest.

TEST_F(SignedPackage, AnOlderReleaseReplayedAsTheNewestIsRefusedAcrossRestartsButCanBeAskedForByVersion) {
    const std::int64_t now = Now();
    pack::PackageOptions first = Signed("a");
    first.issued = now - 2000;
    PackWith(first);
    const std::string oldManifest = ReadWholeFile(ManifestFile("current.xml"));
    const std::string oldSignature = ReadWholeFile(ManifestFile("current.xml.sig"));
    ExpectCompleted(RunToEnd(GetArguments({"a"}, destination_ + "/first")));

    pack::PackageOptions second = Signed("a");
    second.versionId = "2";
    second.issued = now - 1000;
    PackWith(second);
    ExpectCompleted(RunToEnd(GetArguments({"a"}, destination_ + "/second")));

    // Each run is a new process: only the record on disk remembers release 2.
    WriteWholeFile(ManifestFile("current.xml"), oldManifest);
    WriteWholeFile(ManifestFile("current.xml.sig"), oldSignature);
    const std::uint64_t servedBefore = AllNodeFigures(*server_).bytes;
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE("replay " + std::to_string(run + 1));
        const std::string replayed = destination_ + "/replayed";
        const std::size_t refusedBefore = Occurrences(WorkLogs(), "signature rollback");
        const auto outcome = RunToEnd(GetArguments({"a"}, replayed));
        ExpectRefused(outcome, "signature rollback", refusedBefore, replayed);
        EXPECT_FALSE(fs::exists(replayed) && !fs::is_empty(replayed)) << "nothing is written for a replay";
    }
    EXPECT_EQ(AllNodeFigures(*server_).bytes, servedBefore);

    // A machine that never took release 2 has nothing to hold the replay
    // against: the refusal above comes from the record alone.
    test::TemporaryFolder fresh;
    TalvaneGetProcess elsewhere(GetArguments({"a"}, destination_ + "/elsewhere"), fresh.Path(), scratch_.Path());
    ExpectCompleted(elsewhere.Wait(std::chrono::seconds(90)));

    // Asking for release 1 by its id asks for exactly that release.
    const auto byVersion = RunToEnd(GetArguments({"a"}, destination_ + "/by-version", "1"));
    ExpectCompleted(byVersion);
    EXPECT_EQ(BytesLost(source_, destination_ + "/by-version"), 0u);
    Record("release 1 replayed as current after release 2, twice; then asked for by version", OutcomeText(byVersion),
           false);
}

// ---------------------------------------------------------------------------
// A download node serving chunks with other bytes and the same CRC-32.

TEST_F(SignedPackage, ForgedChunksWithMatchingCrcReachAClientWithoutKeys) {
    // The documented weakness of a deployment without keys: the CRC-32 is
    // all it checks, and four chosen bytes keep it.
    PackWith(Signed("a", {StartForgingNode()}));
    const auto outcome = RunToEnd(GetArguments({}));
    ExpectCompleted(outcome);
    EXPECT_GT(BytesLost(source_, destination_), 0u);
    for (const auto& [path, bytes] : forged_) {
        EXPECT_EQ(ReadWholeFile(fs::path(destination_) / path), bytes) << path << " holds the forger's bytes";
    }
    Record("every chunk forged with its CRC-32 kept, client without keys", OutcomeText(outcome), false);
}

TEST_F(SignedPackage, ForgedChunksAreRefusedAndFetchedFromAnotherNode) {
    const std::string forger = StartForgingNode();
    PackWith(Signed("a", {server_->Authority(CdnEndpoint::Node(0)), forger}));
    // The genuine node is away until the forger has served forged bytes:
    // left to itself, the scheduler may give the forger nothing but a tail
    // too short to forge.
    server_->SetFault(CdnEndpoint::Node(0), cdn::CdnFault::Refused());
    auto process = Launch(GetArguments({"a"}));
    EXPECT_TRUE(test::WaitFor([&] { return ForgedAnswers() >= 1; }, std::chrono::seconds(30),
                              std::chrono::milliseconds(1)));
    server_->ClearFaults();
    TalvaneGetProcess::Outcome outcome = process->Wait(std::chrono::seconds(90));
    if (!outcome.finished) {
        ADD_FAILURE() << "talvane-get did not finish";
        outcome = process->Kill();
    }
    ExpectCompleted(outcome);
    EXPECT_GE(ForgedAnswers(), 1u) << "forged chunks were delivered and had to be caught";
    EXPECT_GE(Occurrences(WorkLogs(), kForgedInLog), 1u) << "and were caught by their SHA-256";
    ExpectDestinationMatchesSource();
    EXPECT_EQ(ExecutableFiles(destination_), std::vector<std::string>{"run.sh"});
    ExpectNothingWrittenOutsideDestination();
    Record("a second node forges every chunk with its CRC-32 kept", OutcomeText(outcome), true);
}

TEST_F(SignedPackage, ForgedChunksFromTheOnlyNodeEndWithTheVerificationError) {
    PackWith(Signed("a", {StartForgingNode()}));
    const auto outcome = RunToEnd(GetArguments({"a"}));
    EXPECT_GE(ForgedAnswers(), 1u);
    ExpectRefused(outcome, kForgedInLog);
    EXPECT_GT(BytesLost(source_, destination_), 0u) << "the package cannot be complete";
    Record("the only node forges every chunk with its CRC-32 kept", OutcomeText(outcome), false);
}

}  // namespace
}  // namespace tvl::reliability
