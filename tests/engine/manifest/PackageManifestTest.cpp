#include <gtest/gtest.h>

#include <boost/property_tree/ptree.hpp>
#include <chrono>
#include <sstream>

#include "engine/manifest/Crc32.h"
#include "engine/manifest/GeolocationManifest.h"
#include "engine/manifest/ManifestExceptions.h"
#include "engine/manifest/ManifestParsing.h"
#include "engine/manifest/StandardFileManifest.h"
#include "engine/manifest/StandardPackageManifest.h"

namespace tvl {
namespace {

using boost::property_tree::ptree;

ptree Xml(const std::string& text) {
    std::istringstream in(text);
    ptree tree;
    ParseXmlManifest(in, tree);
    return tree;
}

std::shared_ptr<StandardPackageManifest> Package(const std::string& xml) {
    auto manifest = std::make_shared<StandardPackageManifest>();
    manifest->Read(Xml(xml));
    return manifest;
}

std::string File(const std::string& path, std::uint64_t size, std::uint32_t chunk, const std::string& sums) {
    return "<file path=\"" + path + "\" size=\"" + std::to_string(size) + "\" chunksize=\"" +
           std::to_string(chunk) + "\" checksums=\"" + sums + "\"/>";
}

std::string Doc(const std::string& files, const std::string& extra = "", const std::string& run = "") {
    return "<package id=\"pkg\" name=\"Name\" partnerId=\"partner\" versionId=\"7\"" +
           (run.empty() ? std::string() : " run=\"" + run + "\"") + ">" + extra + "<files>" + files +
           "</files></package>";
}

const std::string kThree = "000000010000000200000003";

TEST(FileManifest, ChunkLayoutOfTenBytesInFours) {
    auto manifest = Package(Doc(File("a.bin", 10, 4, kThree)));
    auto file = std::dynamic_pointer_cast<StandardFileManifest>(manifest->GetFiles().at(0));
    ASSERT_TRUE(file);
    EXPECT_EQ(file->GetChunkCount(), 3u);
    EXPECT_EQ(file->GetChunkLowerBound(0), 0u);
    EXPECT_EQ(file->GetChunkUpperBound(0), 3u);
    EXPECT_EQ(file->GetChunkLowerBound(1), 4u);
    EXPECT_EQ(file->GetChunkUpperBound(1), 7u);
    EXPECT_EQ(file->GetChunkLowerBound(2), 8u);
    EXPECT_EQ(file->GetChunkUpperBound(2), 9u);
    EXPECT_EQ(file->GetChunkLowerBound(3), 11u) << "past the end: the empty span";
    EXPECT_EQ(file->GetChunkUpperBound(3), 10u);
    EXPECT_EQ(file->GetChecksums(), (std::vector<std::uint32_t>{1, 2, 3}));
}

TEST(FileManifest, ChecksumsAreEightHexDigitsPerChunk) {
    EXPECT_THROW(Package(Doc(File("a", 10, 4, kThree.substr(1)))), ManifestParseException) << "one short";
    EXPECT_THROW(Package(Doc(File("a", 10, 4, kThree + "0"))), ManifestParseException) << "one long";
    EXPECT_THROW(Package(Doc(File("a", 10, 4, "12zz5678" + kThree.substr(8)))), ManifestParseException);
    auto upper = Package(Doc(File("a", 4, 4, "CBF43926")));
    EXPECT_EQ(upper->GetFiles()[0]->GetChecksums()[0], 0xCBF43926u);
}

TEST(FileManifest, EmptyFileHasNoChunksButNeedsTheChecksumsValue) {
    auto manifest = Package(Doc(File("empty", 0, 4, "ignored")));
    auto file = std::dynamic_pointer_cast<StandardFileManifest>(manifest->GetFiles().at(0));
    EXPECT_EQ(file->GetChunkCount(), 0u);
    EXPECT_THROW(Package(Doc("<file path=\"e\" size=\"0\" chunksize=\"4\"/>")), ManifestParseException);
}

TEST(FileManifest, NumbersAreStrictDecimals) {
    EXPECT_THROW(Package(Doc(File("a", 10, 0, ""))), ManifestParseException) << "chunk size 0";
    EXPECT_THROW(Package(Doc("<file path=\"a\" size=\"-1\" chunksize=\"4\" checksums=\"\"/>")),
                 ManifestParseException);
    EXPECT_THROW(Package(Doc("<file path=\"a\" size=\"10\" chunksize=\"4294967296\" checksums=\"\"/>")),
                 ManifestParseException);
    EXPECT_THROW(Package(Doc("<file path=\"a\" size=\"1e3\" chunksize=\"4\" checksums=\"\"/>")),
                 ManifestParseException);
    auto spaced = Package(Doc("<file><path>a</path><size>\n 4 \n</size><chunksize>4</chunksize>"
                              "<checksums>00000001</checksums></file>"));
    EXPECT_EQ(spaced->GetFiles()[0]->GetSize(), 4u);
}

TEST(FileManifest, ChunkCountOverflowFails) {
    EXPECT_THROW(Package(Doc(File("a", 0xFFFFFFFFFFFFFFFFull, 2, ""))), ManifestParseException);
    // 0x20000000 chunks is one more than allowed.
    EXPECT_THROW(Package(Doc(File("a", 0x20000000ull, 1, ""))), ManifestParseException);
}

TEST(FileManifest, UnsafePathsAreRefused) {
    for (const std::string path : {"/etc/passwd", "../outside", "a/../../b", "a//b", "./a", "a/.", "a\\b",
                                   "a\"b", "a\tb", "dir/", ""}) {
        EXPECT_THROW(Package(Doc(File(path, 4, 4, "00000001"))), ManifestParseException) << path;
    }
    EXPECT_THROW(Package(Doc("<file><path>a&#1;b</path><size>4</size><chunksize>4</chunksize>"
                             "<checksums>00000001</checksums></file>")),
                 ManifestParseException);
    for (const std::string path : {"a", "dir/sub/file.bin", "..hidden", ".config/x", "naïve ünïcode.txt"}) {
        EXPECT_NO_THROW(Package(Doc(File(path, 4, 4, "00000001")))) << path;
    }
}

TEST(PackageManifest, ReadsIdentityAndSplitsRunFiles) {
    auto manifest = Package(Doc(File("b", 4, 4, "00000001") + File("run.sh", 4, 4, "00000002") +
                                    File("c", 4, 4, "00000003"),
                                "", "run.sh"));
    EXPECT_EQ(manifest->GetId(), "pkg");
    EXPECT_EQ(manifest->GetName(), "Name");
    EXPECT_EQ(manifest->GetPartnerId(), "partner");
    EXPECT_EQ(manifest->GetVersionId(), "7");
    EXPECT_TRUE(manifest->IsActive());
    ASSERT_EQ(manifest->GetFiles().size(), 3u);
    ASSERT_EQ(manifest->GetRunFiles().size(), 1u);
    EXPECT_EQ(manifest->GetRunFile()->GetPath(), "run.sh");
    ASSERT_EQ(manifest->GetOtherFiles().size(), 2u);
    EXPECT_EQ(manifest->GetOtherFiles()[0]->GetPath(), "b");
    EXPECT_EQ(manifest->GetOtherFiles()[1]->GetPath(), "c");
}

TEST(PackageManifest, RunMustNameAFileAndEmptyRunHasNone) {
    EXPECT_THROW(Package(Doc(File("a", 4, 4, "00000001"), "", "missing")), ManifestParseException);
    auto manifest = Package(Doc(File("a", 4, 4, "00000001")));
    EXPECT_FALSE(manifest->GetRunFile());
    EXPECT_TRUE(manifest->GetRunFiles().empty());
}

TEST(PackageManifest, RequiredValuesAndStructure) {
    EXPECT_THROW(Package("<other/>"), ManifestParseException);
    EXPECT_THROW(Package("<package id=\"p\" name=\"n\" partnerId=\"x\" versionId=\"1\"/>"), ManifestParseException);
    EXPECT_THROW(Package("<package id=\"\" name=\"n\" partnerId=\"x\" versionId=\"1\"><files/></package>"),
                 ManifestParseException);
    EXPECT_THROW(Package(Doc("<!-- a comment --><file path=\"a\" size=\"0\" chunksize=\"1\" checksums=\"\"/>")),
                 ManifestParseException)
        << "only file children";
    EXPECT_NO_THROW(Package(Doc("")));
}

TEST(PackageManifest, IdsCannotLeaveTheirPathSegment) {
    const auto withIds = [](const std::string& id, const std::string& partner, const std::string& version) {
        return Package("<package id=\"" + id + "\" name=\"n\" partnerId=\"" + partner + "\" versionId=\"" +
                       version + "\"><version id=\"" + version + "\"/><files/></package>");
    };
    for (const std::string bad : {"..", "a/b", "../x", "1..2", ".", "%2e%2e", "a%2Fb", "a\\b", "a&#9;b"}) {
        EXPECT_THROW(withIds(bad, "acme", "1"), ManifestParseException) << "package id " << bad;
        EXPECT_THROW(withIds("tool", bad, "1"), ManifestParseException) << "partner id " << bad;
        EXPECT_THROW(withIds("tool", "acme", bad), ManifestParseException) << "version id " << bad;
    }
    for (const std::string good :
         {"5e1d0a7c93b24f6d8a0c2e41", "acme", "1.0.0", ".hidden", "v2_beta-1", "a b"}) {
        EXPECT_NO_THROW(withIds(good, good, good)) << good;
    }
}

TEST(PackageManifest, EachPathNamesOneFileAndNoFileIsAFolderOfAnother) {
    const auto withPaths = [](const std::vector<std::string>& paths) {
        std::string files;
        for (const std::string& path : paths) {
            files += File(path, 4, 4, "00000001");
        }
        return Package(Doc(files));
    };
    const std::vector<std::vector<std::string>> conflicting = {
        {"a", "a"},
        {"x", "dir/a.bin", "y", "dir/a.bin"},
        {"a/b", "a/b/c"},
        {"a/b/c", "a/b"},
        {"a/b", "a/b-x", "a/b.y", "a/b/c"},  // siblings that sort between a folder and its content
        {"a", "a/b/c/d"},
    };
    for (const auto& paths : conflicting) {
        EXPECT_THROW(withPaths(paths), ManifestParseException) << ::testing::PrintToString(paths);
    }
    EXPECT_EQ(withPaths({"a/b", "a/bc", "a/b-x/c", "ab", "A/b/c", "a/c/b"})->GetFiles().size(), 6u);
}

TEST(PackageManifest, IsActiveAcceptsWordsAndDigitsAndIgnoresGarbage) {
    const auto withActive = [](const std::string& value) {
        return Package("<package id=\"p\" name=\"n\" partnerId=\"x\" versionId=\"1\" isActive=\"" + value +
                       "\"><files/></package>");
    };
    EXPECT_FALSE(withActive("false")->IsActive());
    EXPECT_FALSE(withActive("0")->IsActive());
    EXPECT_TRUE(withActive("1")->IsActive());
    EXPECT_TRUE(withActive("maybe")->IsActive());
}

TEST(PackageManifest, AttributeAndChildElementReadTheSame) {
    auto attribute = Package(Doc(""));
    auto element = Package("<package><id>pkg</id><name>Name</name><partnerId>partner</partnerId>"
                           "<versionId>7</versionId><files/></package>");
    EXPECT_EQ(attribute->GetId(), element->GetId());
    EXPECT_EQ(attribute->GetVersionId(), element->GetVersionId());
    // Both present: the child element wins.
    auto both = Package("<package id=\"attr\"><id>child</id><name>n</name><partnerId>x</partnerId>"
                        "<versionId>1</versionId><files/></package>");
    EXPECT_EQ(both->GetId(), "child");
}

TEST(PackageVersion, GeofencePolicies) {
    const auto withVersion = [](const std::string& version) {
        return Package(Doc(File("a", 4, 4, "00000001"), "<version id=\"7\"" + version));
    };
    auto white = withVersion(" policy=\"Whitelist\"><countryCodes><countryCode>DE</countryCode>"
                             "<countryCode>FR</countryCode></countryCodes></version>");
    EXPECT_TRUE(white->IsCountryAllowed("DE"));
    EXPECT_FALSE(white->IsCountryAllowed("de")) << "codes are compared exactly";
    EXPECT_FALSE(white->IsCountryAllowed("US"));

    auto black = withVersion(" policy=\"Blacklist\"><countryCodes><countryCode>US</countryCode>"
                             "</countryCodes></version>");
    EXPECT_FALSE(black->IsCountryAllowed("US"));
    EXPECT_TRUE(black->IsCountryAllowed("DE"));

    auto none = withVersion(" policy=\"None\"><countryCodes><countryCode>US</countryCode>"
                            "</countryCodes></version>");
    EXPECT_TRUE(none->IsCountryAllowed("US"));
    EXPECT_TRUE(withVersion("/>")->IsCountryAllowed("XX"));
    EXPECT_TRUE(Package(Doc(""))->IsCountryAllowed("XX")) << "no version element";

    EXPECT_THROW(withVersion("><countryCodes><countryCode>US</countryCode></countryCodes></version>"),
                 ManifestParseException)
        << "codes without a policy";
    EXPECT_THROW(withVersion(" policy=\"whitelist\"/>"), ManifestParseException) << "names are exact";
    EXPECT_THROW(withVersion(" policy=\"Whitelist\"><countryCodes><countryCode>USA</countryCode>"
                             "</countryCodes></version>"),
                 ManifestParseException);
    EXPECT_THROW(withVersion(" policy=\"Whitelist\"><countryCodes><code>US</code></countryCodes></version>"),
                 ManifestParseException);
}

TEST(PackageVersion, MustAgreeWithThePackage) {
    EXPECT_THROW(Package(Doc("", "<version id=\"8\"/>")), ManifestParseException);
    EXPECT_THROW(Package(Doc(File("r", 4, 4, "00000001"), "<version id=\"7\"/>", "r")), ManifestParseException)
        << "version run must equal package run";
    EXPECT_NO_THROW(Package(Doc(File("r", 4, 4, "00000001"), "<version id=\"7\" run=\"r\"/>", "r")));
}

TEST(ManifestParsing, FoldsAttributesDepthFirstAfterChildren) {
    ptree tree = Xml("<a x=\"1\"><b y=\"2\"/><x>child</x></a>");
    const ptree& a = tree.get_child("a");
    std::vector<std::string> keys;
    for (const auto& child : a) {
        keys.push_back(child.first);
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"<xmlattr>", "b", "x", "x"}));
    EXPECT_EQ(a.get<std::string>("x"), "child");
    EXPECT_EQ(a.get<std::string>("b.y"), "2");
}

TEST(ManifestParsing, MalformedAndHostileDocumentsFailCleanly) {
    EXPECT_THROW(Xml("<package><id>"), ManifestParseException);
    EXPECT_THROW(Package(""), ManifestParseException);
    std::string deep;
    for (int i = 0; i < 100000; ++i) {
        deep += "<a>";
    }
    EXPECT_THROW(Xml(deep), ManifestParseException);

    std::string deepJson(100000, '[');
    std::istringstream json(deepJson);
    ptree tree;
    EXPECT_THROW(ParseJsonManifest(json, tree), ManifestParseException);
    std::istringstream invalid("{\"ip\": ");
    EXPECT_THROW(ParseJsonManifest(invalid, tree), ManifestParseException);

    std::istringstream oversized(std::string(MaxManifestBytes + 1, ' '));
    EXPECT_THROW(ParseXmlManifest(oversized, tree), ManifestParseException);
}

// A tree costs hundreds of bytes per node however short its text, so what a
// document would build is bounded before it is built; real manifests, whose
// nodes carry paths and checksums, stay far from that bound.
TEST(ManifestParsing, DocumentsThatWouldBuildHugeTreesAreRefused) {
    const std::string tiny = "<b/>";
    std::string elements = "<package>";
    while (elements.size() < (1u << 20)) {
        elements += tiny;
    }
    elements += "</package>";
    EXPECT_THROW(Xml(elements), ManifestParseException) << "256k empty elements";
    std::string members = "[";
    while (members.size() < (1u << 20)) {
        members += "0,";
    }
    members += "0]";
    std::istringstream json(members);
    ptree tree;
    EXPECT_THROW(ParseJsonManifest(json, tree), ManifestParseException) << "512k array members";

    // The largest file list a package of this format can have at the size cap.
    const std::string sums(8 * ((MaxManifestBytes - 512) / 8), 'a');
    const std::uint64_t chunks = sums.size() / 8;
    const auto big = Package(Doc(File("big.bin", chunks * 1048576, 1048576, sums)));
    EXPECT_EQ(big->GetFiles()[0]->GetChecksums().size(), chunks);
    // Six thousand small files.
    std::string files;
    for (int i = 0; i < 6000; ++i) {
        files += File("data/file" + std::to_string(i) + ".bin", 4, 4, "00000001") + "\n";
    }
    EXPECT_EQ(Package(Doc(files))->GetFiles().size(), 6000u);
}

// The checks that run before the reader must be linear too: each unclosed tag
// once sent a scan to the end of the text.
TEST(ManifestParsing, RefusingAHostileDocumentTakesTimeLinearInItsSize) {
    std::string unclosed;
    while (unclosed.size() < (2u << 20)) {
        unclosed += "<a</";
    }
    const auto started = std::chrono::steady_clock::now();
    EXPECT_THROW(Xml(unclosed), ManifestParseException);
    const auto elapsed = std::chrono::steady_clock::now() - started;
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count(), 2000);
}

std::shared_ptr<StandardGeolocationManifest> Geolocation(const std::string& json) {
    std::istringstream in(json);
    ptree tree;
    ParseJsonManifest(in, tree);
    auto manifest = std::make_shared<StandardGeolocationManifest>();
    manifest->Read(tree);
    return manifest;
}

TEST(GeolocationManifest, ReadsKeysAndRequiresIpAndCountry) {
    const auto full = Geolocation(
        "{\"ip\":\"198.51.100.7\",\"country_code\":\"DE\",\"country_name\":\"Germany\",\"country_code3\":\"DEU\","
        "\"continent_code\":\"EU\",\"isp\":\"Example\",\"extra\":{\"nested\":1}}");
    EXPECT_EQ(full->GetIp(), "198.51.100.7");
    EXPECT_EQ(full->GetCountryCode(), "DE");
    EXPECT_EQ(full->GetCountryName(), "Germany");
    EXPECT_EQ(full->GetCountryCode3(), "DEU");
    EXPECT_EQ(full->GetContinentCode(), "EU");
    EXPECT_EQ(full->GetIsp(), "Example");
    EXPECT_EQ(Geolocation("{\"ip\":\"1\",\"country_code\":\"FR\"}")->GetIsp(), "");
    EXPECT_THROW(Geolocation("{\"ip\":\"1\",\"country_code\":\"\"}"), ManifestParseException);
    EXPECT_THROW(Geolocation("{\"country_code\":\"FR\"}"), ManifestParseException);
}

}  // namespace
}  // namespace tvl
