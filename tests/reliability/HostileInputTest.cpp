// What the engine reads from outside besides chunk bytes: a destination whose
// disk fills up, stored-transfer files planted in its transfers folder, and
// hostile manifests and node lists served by the manifest host. Each must end
// in a clean refusal with the right error, never a crash, and never a byte
// written outside the destination.

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>
#include <sstream>

#include "engine/manifest/Crc32.h"
#include "engine/manifest/ManifestParsing.h"
#include "tests/reliability/ReliabilityHarness.h"
#include "tests/support/Sanitizers.h"

namespace tvl::reliability {
namespace {

namespace fs = std::filesystem;
using cdn::CdnEndpoint;
using namespace std::chrono_literals;

std::string RandomTransferId(std::mt19937& random) {
    static const char hex[] = "0123456789abcdef";
    std::string id;
    for (int i = 0; i < 32; ++i) {
        id += hex[random() % 16];
    }
    return id;
}

// ---------------------------------------------------------------------------
// A full disk.

class FullDisk : public ReliabilityTest {
protected:
    void TearDown() override {
        if (mounted_) {
            umount2(destination_.c_str(), MNT_DETACH);
        }
        ReliabilityTest::TearDown();
    }

    bool mounted_ = false;
};

TEST_F(FullDisk, ADestinationThatFillsUpEndsWithTheDiskFullError) {
    constexpr std::uint64_t kVolumeBytes = 256 * 1024;
    result_.fault = "destination on a " + std::to_string(kVolumeBytes / 1024) + " KiB tmpfs";
    if (geteuid() != 0) {
        result_.outcome = "skipped: mounting a tmpfs needs root";
        GTEST_SKIP() << "mounting a small tmpfs as the destination needs root";
    }
    Pack();
    const std::string options = "size=" + std::to_string(kVolumeBytes) + ",mode=0755";
    if (mount("tmpfs", destination_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
        result_.outcome = std::string("skipped: cannot mount a tmpfs: ") + std::strerror(errno);
        GTEST_SKIP() << "cannot mount a tmpfs on the destination: " << std::strerror(errno);
    }
    mounted_ = true;
    ASSERT_GT(TreeBytes(source_), kVolumeBytes) << "the package must not fit";

    const auto outcome = RunToEnd(NewTransferArguments(1));
    EXPECT_TRUE(outcome.finished);
    EXPECT_EQ(outcome.signal, 0);
    EXPECT_EQ(outcome.exitCode, 1) << outcome.err;
    EXPECT_NE(outcome.err.find(ErrorLine(4)), std::string::npos) << outcome.err;
    EXPECT_NE(outcome.err.find("error 4, retrying"), std::string::npos) << "a full disk is retryable";
    EXPECT_EQ(ExtraFiles(source_, destination_), std::vector<std::string>{});
    ExpectNothingWrittenOutsideDestination();
    Record(result_.fault, OutcomeText(outcome), false);
}

// ---------------------------------------------------------------------------
// Stored-transfer files planted under transfers/.

class PlantedStoredTransfers : public ReliabilityTest {};

TEST_F(PlantedStoredTransfers, AreRefusedCleanlyAndTheGenuineOneStillRestores) {
    Pack();
    const auto first = RunToEnd(NewTransferArguments(3));
    ASSERT_EQ(first.exitCode, 0) << first.err;
    const std::vector<std::string> stored = StoredTransferIds(user_.Path());
    ASSERT_EQ(stored.size(), 1u);
    const std::string genuineId = stored.front();
    const std::string folder = StoredTransfersFolder(user_.Path());
    const std::string genuine = ReadWholeFile(folder + "/" + genuineId + ".json");
    ASSERT_NE(genuine.find(genuineId), std::string::npos);

    // An impostor names another transfer and a destination of its own: were it
    // believed, files would appear next to the real destination.
    const std::string elsewhere = sandbox_.Join("work/impostor-dest");
    std::string impostor = genuine;
    std::string escapedDestination;
    for (char c : destination_) {
        escapedDestination += c == '/' ? std::string("\\/") : std::string(1, c);
    }
    for (const std::string& form : {destination_, escapedDestination}) {
        const std::size_t at = impostor.find(form);
        if (at != std::string::npos) {
            impostor.replace(at, form.size(), elsewhere);
            break;
        }
    }
    ASSERT_NE(impostor.find(elsewhere), std::string::npos) << genuine;

    std::mt19937 random(RandomSeed());
    std::string garbage(4096, '\0');
    for (auto& c : garbage) {
        c = static_cast<char>(random());
    }
    const std::vector<std::pair<std::string, std::string>> plants = {
        {"random bytes", garbage},
        {"an empty file", ""},
        {"half of a genuine file", genuine.substr(0, genuine.size() / 2)},
        {"a genuine file of another transfer", impostor},
        {"no destination", "{\"transferId\":\"@\",\"partnerId\":\"partner\",\"packageId\":\"pkg\",\"versionId\":\"1\"}"},
        {"objects for strings",
         "{\"transferId\":\"@\",\"partnerId\":{\"a\":\"b\"},\"packageId\":[1,2],\"versionId\":\"1\",\"destPath\":{}}"},
        {"an array", "[\"@\",\"partner\",\"pkg\",\"1\",\"" + elsewhere + "\"]"},
        {"100000 nested arrays", std::string(100000, '[')},
        {"8 MiB of blanks before a genuine object", std::string(8 << 20, ' ') + impostor},
    };
    const TreeSnapshot sandboxBefore = TreeSnapshot::Take(sandbox_.Path(), destination_);
    std::ostringstream outcomes;
    std::size_t refused = 0;
    for (const auto& [name, content] : plants) {
        SCOPED_TRACE(name);
        const std::string id = RandomTransferId(random);
        std::string text = content;
        for (std::size_t at = text.find('@'); at != std::string::npos; at = text.find('@')) {
            text.replace(at, 1, id);
        }
        const std::string path = folder + "/" + id + ".json";
        WriteWholeFile(path, text);
        const auto outcome = RunToEnd(RestoreArguments(id, 0), 60s);
        EXPECT_TRUE(outcome.finished);
        EXPECT_EQ(outcome.signal, 0) << "talvane-get must not crash on a planted file";
        EXPECT_EQ(outcome.exitCode, 1) << outcome.err;
        EXPECT_NE(outcome.err.find("no such transfer"), std::string::npos) << outcome.err;
        EXPECT_EQ(ReadWholeFile(path), text) << "a stored file that is not believed is left alone";
        if (OutcomeText(outcome) == "no such transfer") {
            ++refused;
        } else {
            outcomes << name << ": " << OutcomeText(outcome) << "; ";
        }
    }
    EXPECT_FALSE(fs::exists(elsewhere));
    EXPECT_EQ(sandboxBefore.DifferencesTo(TreeSnapshot::Take(sandbox_.Path(), destination_)), "");

    // The genuine transfer is unaffected: restored, it verifies what is on disk
    // and downloads nothing.
    const std::uint64_t servedBefore = AllNodeFigures(*server_).bytes;
    const auto restored = RunToEnd(RestoreArguments(genuineId, 0));
    EXPECT_EQ(restored.exitCode, 0) << restored.err;
    EXPECT_NE(restored.out.find("\"bytesDownloaded\":0,"), std::string::npos) << restored.out;
    EXPECT_EQ(AllNodeFigures(*server_).bytes, servedBefore);
    ExpectDestinationMatchesSource();
    ExpectNothingWrittenOutsideDestination();
    Record(std::to_string(plants.size()) + " planted stored-transfer files, then the genuine one restored",
           std::to_string(refused) + " refused as no such transfer; " + outcomes.str() +
               "genuine: " + OutcomeText(restored),
           true);
}

// ---------------------------------------------------------------------------
// Hostile manifests and node lists, written by hand into the content root.

struct HostileCase {
    const char* name;
    const char* description;
    unsigned expectedError;
};

// Test names and logs show the case by name rather than as raw bytes.
void PrintTo(const HostileCase& c, std::ostream* out) {
    *out << c.name;
}

class HandWrittenContent : public ReliabilityTest {
protected:
    struct Entry {
        std::string path;
        std::string size;
        std::string chunkSize;
        std::string checksums;
    };

    static std::string Checksums(const std::string& bytes, std::uint32_t chunkSize) {
        std::string text;
        for (std::size_t offset = 0; offset < bytes.size(); offset += chunkSize) {
            char group[9];
            std::snprintf(group, sizeof group, "%08x",
                          Crc32(bytes.data() + offset, std::min<std::size_t>(chunkSize, bytes.size() - offset)));
            text += group;
        }
        return text;
    }

    // The content a node would serve for `path` under the package's version folder.
    void Serve(const std::string& path, const std::string& bytes) {
        WriteWholeFile((fs::path(root_.Path()) / "packages/partner/pkg/1" / path).lexically_normal().string(), bytes);
    }

    static std::string PackageXml(const std::vector<Entry>& entries, const std::string& id = "pkg",
                                  const std::string& extra = " isActive=\"true\"", const std::string& inFiles = "") {
        std::ostringstream xml;
        xml << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<package id=\"" << id
            << "\" name=\"Hostile\" partnerId=\"partner\" versionId=\"1\" run=\"run.sh\"" << extra << ">\n  <files>\n"
            << inFiles;
        for (const Entry& e : entries) {
            xml << "    <file path=\"" << e.path << "\" size=\"" << e.size << "\" chunksize=\"" << e.chunkSize
                << "\" checksums=\"" << e.checksums << "\"/>\n";
        }
        xml << "  </files>\n</package>\n";
        return xml.str();
    }

    std::string NodeListXml() const {
        std::ostringstream xml;
        xml << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<ArrayOfNodeInfo>\n";
        for (std::size_t i = 0; i < server_->NodeCount(); ++i) {
            xml << "  <NodeInfo><NodeId>node" << i << "</NodeId><Host>" << server_->Authority(CdnEndpoint::Node(i))
                << "</Host><Path>/packages/</Path></NodeInfo>\n";
        }
        xml << "</ArrayOfNodeInfo>\n";
        return xml.str();
    }

    // Writes the content root for the case: the launch file and one more file
    // served by the nodes, the package manifest and the node list, one of
    // them hostile.
    void Plant(const std::string& name) {
        const std::uint32_t chunk = 4096;
        const std::string run = source_.at("run.sh");
        const std::string data = source_.at("data/small/3.bin");
        Serve("run.sh", run);
        Serve("data/3.bin", data);
        const Entry runEntry{"run.sh", std::to_string(run.size()), std::to_string(chunk), Checksums(run, chunk)};
        const Entry dataEntry{"data/3.bin", std::to_string(data.size()), std::to_string(chunk), Checksums(data, chunk)};
        const auto escaping = [&](const std::string& path) {
            // Served where the node URL of that path resolves to, so that an
            // engine taking the path would find the bytes and write them.
            Serve(path, data);
            return Entry{path, dataEntry.size, dataEntry.chunkSize, dataEntry.checksums};
        };

        std::string manifest = PackageXml({runEntry, dataEntry});
        std::string nodes = NodeListXml();
        if (name == "Unaltered") {
        } else if (name == "ParentEscape") {
            manifest = PackageXml({runEntry, escaping("../escaped.bin")});
        } else if (name == "NestedEscape") {
            manifest = PackageXml({runEntry, escaping("data/../../../escaped.bin")});
        } else if (name == "AbsolutePath") {
            const std::string target = sandbox_.Join("work/absolute.bin");
            WriteWholeFile((fs::path(root_.Path()) / target.substr(1)).string(), data);
            manifest = PackageXml({runEntry, Entry{target, dataEntry.size, dataEntry.chunkSize, dataEntry.checksums}});
        } else if (name == "SizeOverflow") {
            manifest = PackageXml({runEntry, Entry{"data/3.bin", "18446744073709551615", "2", ""}});
        } else if (name == "ChunkCountBeyond32Bits") {
            manifest = PackageXml({runEntry, Entry{"data/3.bin", "4294967296", "1", ""}});
        } else if (name == "ChunkCountAtTheLimit") {
            manifest = PackageXml({runEntry, Entry{"data/3.bin", "536870911", "1", "00000000"}});
        } else if (name == "NegativeSize") {
            manifest = PackageXml({runEntry, Entry{"data/3.bin", "-1", "4096", dataEntry.checksums}});
        } else if (name == "TruncatedXml") {
            manifest = manifest.substr(0, manifest.size() / 2);
        } else if (name == "JsonInsteadOfXml") {
            manifest = "{\"package\":{\"id\":\"pkg\",\"name\":\"Hostile\",\"partnerId\":\"partner\",\"versionId\":\"1\"}}";
        } else if (name == "OtherPackageId") {
            manifest = PackageXml({runEntry, dataEntry}, "other");
        } else if (name == "Inactive") {
            manifest = PackageXml({runEntry, dataEntry}, "pkg", " isActive=\"false\"");
        } else if (name == "CommentAmongFiles") {
            manifest = PackageXml({runEntry, dataEntry}, "pkg", " isActive=\"true\"", "    <!-- a comment -->\n");
        } else if (name == "NoFiles") {
            manifest = PackageXml({}, "pkg", "");
            manifest.replace(manifest.find(" run=\"run.sh\""), 13, "");
        } else if (name == "VersionEscape") {
            // The nodes' URL of a file is <path>/<partner>/<package>/<version>/<file>.
            manifest = PackageXml({runEntry, dataEntry});
            for (std::size_t at = manifest.find("\"1\""); at != std::string::npos;
                 at = manifest.find("\"1\"")) {
                manifest.replace(at, 3, "\"..\"");
            }
            WriteWholeFile(root_.Join("packages/partner/run.sh"), run);
            WriteWholeFile(root_.Join("packages/partner/data/3.bin"), data);
        } else if (name == "DuplicatePath") {
            manifest = PackageXml({runEntry, dataEntry, dataEntry});
        } else if (name == "FileBelowAFile") {
            const Entry below{"data/3.bin/part", dataEntry.size, dataEntry.chunkSize, dataEntry.checksums};
            manifest = PackageXml({runEntry, dataEntry, below});
        } else if (name == "NodeListAsJson") {
            nodes = "[{\"NodeId\":\"node0\",\"Host\":\"" + server_->Authority(CdnEndpoint::Node(0)) + "\"}]";
        } else if (name == "NodeListTruncated") {
            nodes = nodes.substr(0, nodes.size() / 2);
        } else if (name == "NodeListWithoutNodes") {
            nodes = "<?xml version=\"1.0\"?>\n<ArrayOfNodeInfo>\n</ArrayOfNodeInfo>\n";
        } else if (name == "NodeWithoutHost") {
            nodes = "<ArrayOfNodeInfo><NodeInfo><NodeId>n</NodeId><Host></Host></NodeInfo></ArrayOfNodeInfo>";
        } else {
            FAIL() << "unknown case " << name;
        }
        WriteWholeFile(root_.Join("manifests/pkg/current.xml"), manifest);
        WriteWholeFile(root_.Join("nodes/partner.xml"), nodes);
        sandboxBefore_ = TreeSnapshot::Take(sandbox_.Path(), destination_);
    }
};

class HostileManifest : public HandWrittenContent, public ::testing::WithParamInterface<HostileCase> {};

// The control: the same hand-written root without a hostile part delivers its
// files, so each refusal below is due to its one alteration.
TEST_F(HandWrittenContent, TheUnalteredRootDeliversItsFiles) {
    Plant("Unaltered");
    const auto outcome = RunToEnd(NewTransferArguments(0), 60s);
    EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
    EXPECT_EQ(ReadWholeFile(destination_ + "/run.sh"), source_.at("run.sh"));
    EXPECT_EQ(ReadWholeFile(destination_ + "/data/3.bin"), source_.at("data/small/3.bin"));
    ExpectNothingWrittenOutsideDestination();
    result_.packageBytes = source_.at("run.sh").size() + source_.at("data/small/3.bin").size();
    Record("hand-written manifest and node list, unaltered (control)", OutcomeText(outcome), false);
}

constexpr bool kPeaksAreMeaningful = !test::kSanitizedBuild;
// A reader of quadratic time would exceed even the sanitizers' slack by far.
constexpr double kReadingSlackSeconds = test::kSanitizedBuild ? 60 : 10;

// Package manifests are read in one pass that keeps no tree of the document.
// A manifest at the size cap made of elements nothing reads (each would cost a
// tree hundreds of bytes for four of text), and one listing 150 000 files, as
// a big game's does, are both taken within 8 times the cap plus 32 MiB above
// what the control run took, and in time linear in their size; one byte over
// the cap is refused.
TEST_F(HandWrittenContent, BigManifestsAreReadInBoundedMemoryAndLinearTime) {
    Plant("Unaltered");
    const auto control = RunToEnd(NewTransferArguments(0), 60s);
    ASSERT_EQ(control.exitCode, 0) << control.err;
    const std::uint64_t bound = control.peakRssBytes + 8 * MaxPackageManifestBytes + (32ull << 20);
    const std::string manifest = ReadWholeFile(root_.Join("manifests/pkg/current.xml"));
    const auto plant = [&](const std::string& text) {
        WriteWholeFile(root_.Join("manifests/pkg/current.xml"), text);
        return text.size();
    };
    // The manifest grown to `bytes` with elements nothing reads.
    const auto tinyElements = [&](std::uint64_t bytes) {
        std::string inner;
        inner.reserve(bytes);
        while (inner.size() + 4 <= bytes - manifest.size()) {
            inner += "<x/>";
        }
        inner.append(bytes - manifest.size() - inner.size(), ' ');
        return std::string(manifest).insert(manifest.find("<files>"), inner);
    };

    EXPECT_EQ(plant(tinyElements(MaxPackageManifestBytes)), MaxPackageManifestBytes);
    const auto tiny = RunToEnd(NewTransferArguments(0), 120s);
    EXPECT_EQ(tiny.exitCode, 0) << tiny.err;
    if (kPeaksAreMeaningful) {
        EXPECT_LE(tiny.peakRssBytes, bound);
    }
    EXPECT_LT(tiny.seconds, control.seconds + kReadingSlackSeconds) << "about a second per 16 MiB";

    // The package is closed to the country the CDN reports: the manifest is
    // read whole, and then refused by the geofence rather than as content.
    std::string files;
    constexpr int kFiles = 150000;
    for (int i = 0; i < kFiles; ++i) {
        files += "    <file path=\"many/" + std::to_string(i % 300) + "/" + std::to_string(i) +
                 ".bin\" size=\"4\" chunksize=\"4096\" checksums=\"00000001\"/>\n";
    }
    std::string many = manifest;
    many.insert(many.find("<files>") + 8, files);
    many.insert(many.find("<files>"), "<version id=\"1\" run=\"run.sh\" policy=\"Blacklist\"><countryCodes>"
                                      "<countryCode>DE</countryCode></countryCodes></version>\n  ");
    const std::size_t manyBytes = plant(many);
    ASSERT_GT(manyBytes, MaxManifestBytes);
    const auto listed = RunToEnd(NewTransferArguments(0), 120s);
    EXPECT_EQ(listed.exitCode, 1) << listed.err;
    EXPECT_NE(listed.err.find(ErrorLine(10)), std::string::npos) << listed.err;
    if (kPeaksAreMeaningful) {
        EXPECT_LE(listed.peakRssBytes, bound);
    }
    EXPECT_LT(listed.seconds, control.seconds + kReadingSlackSeconds);

    plant(tinyElements(MaxPackageManifestBytes + 1));
    const auto over = RunToEnd(NewTransferArguments(0), 60s);
    EXPECT_EQ(over.exitCode, 1) << over.err;
    EXPECT_NE(over.err.find(ErrorLine(1)), std::string::npos) << over.err;

    std::printf("peak resident: control %llu MiB in %.1f s; %llu bytes of tiny elements %llu MiB in %.1f s; "
                "%d files in %zu bytes %llu MiB in %.1f s\n",
                static_cast<unsigned long long>(control.peakRssBytes >> 20), control.seconds,
                static_cast<unsigned long long>(MaxPackageManifestBytes),
                static_cast<unsigned long long>(tiny.peakRssBytes >> 20), tiny.seconds, kFiles, manyBytes,
                static_cast<unsigned long long>(listed.peakRssBytes >> 20), listed.seconds);
    ExpectNothingWrittenOutsideDestination();
    Record("manifest of " + std::to_string(MaxPackageManifestBytes) + " bytes of tiny elements, then " +
               std::to_string(kFiles) + " files",
           OutcomeText(tiny) + " at " + std::to_string(tiny.peakRssBytes >> 20) + " MiB, " + OutcomeText(listed) +
               " at " + std::to_string(listed.peakRssBytes >> 20) + " MiB (control " +
               std::to_string(control.peakRssBytes >> 20) + " MiB)",
           false);
}

TEST_P(HostileManifest, IsRefusedWithItsErrorAndNothingIsWritten) {
    const HostileCase& c = GetParam();
    Plant(c.name);
    const auto outcome = RunToEnd(NewTransferArguments(0), 60s);
    EXPECT_TRUE(outcome.finished);
    EXPECT_EQ(outcome.signal, 0);
    EXPECT_EQ(outcome.exitCode, 1) << outcome.err;
    EXPECT_NE(outcome.err.find(ErrorLine(c.expectedError)), std::string::npos) << outcome.err;
    EXPECT_EQ(AllNodeFigures(*server_).answers, 0u) << "no chunk is fetched for a refused package";
    ExpectDestinationEmpty();
    ExpectNothingWrittenOutsideDestination();
    result_.packageBytes = 0;
    Record(c.description, OutcomeText(outcome) + " (expected " + std::to_string(c.expectedError) + ")", false);
}

const HostileCase kHostileCases[] = {
    {"ParentEscape", "manifest: file path ../escaped.bin", 1},
    {"NestedEscape", "manifest: file path data/../../../escaped.bin", 1},
    {"AbsolutePath", "manifest: absolute file path next to the destination", 1},
    {"SizeOverflow", "manifest: size 2^64-1, chunk size 2", 1},
    {"ChunkCountBeyond32Bits", "manifest: 2^32 chunks of 1 byte", 1},
    {"ChunkCountAtTheLimit", "manifest: 536870911 chunks with one checksum", 1},
    {"NegativeSize", "manifest: size -1", 1},
    {"TruncatedXml", "manifest: XML cut in half", 1},
    {"JsonInsteadOfXml", "manifest: JSON instead of XML", 1},
    {"OtherPackageId", "manifest: another package's id", 1},
    {"Inactive", "manifest: package disabled", 1},
    {"CommentAmongFiles", "manifest: XML comment among the files", 1},
    // An empty file set passes the reader; the download tree refuses it as an internal error.
    {"NoFiles", "manifest: no files at all", 9},
    {"VersionEscape", "manifest: version id .. (files served one folder up)", 1},
    {"DuplicatePath", "manifest: one file listed twice", 1},
    {"FileBelowAFile", "manifest: a file's path is the folder of another", 1},
    {"NodeListAsJson", "node list: JSON instead of XML", 1},
    {"NodeListTruncated", "node list: XML cut in half", 1},
    {"NodeListWithoutNodes", "node list: no NodeInfo", 1},
    {"NodeWithoutHost", "node list: node with an empty Host", 1},
};

INSTANTIATE_TEST_SUITE_P(Reliability, HostileManifest, ::testing::ValuesIn(kHostileCases),
                         [](const ::testing::TestParamInfo<HostileCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tvl::reliability
