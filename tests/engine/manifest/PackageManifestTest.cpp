#include <gtest/gtest.h>

#include <boost/property_tree/ptree.hpp>
#include <chrono>
#include <functional>
#include <sstream>

#include "engine/manifest/Crc32.h"
#include "engine/manifest/GeolocationManifest.h"
#include "engine/manifest/ManifestExceptions.h"
#include "engine/manifest/ManifestParsing.h"
#include "engine/manifest/StandardFileManifest.h"
#include "engine/manifest/StandardPackageManifest.h"
#include "engine/security/Sha256.h"
#include "tests/support/Sanitizers.h"

namespace tvl {
namespace {

using boost::property_tree::ptree;

ptree Xml(const std::string& text) {
    std::istringstream in(text);
    ptree tree;
    ParseXmlManifest(in, tree);
    return tree;
}

// Everything a reader of the manifest can see of it.
std::string Describe(const StandardPackageManifest& manifest) {
    std::ostringstream out;
    out << manifest.GetId() << '|' << manifest.GetName() << '|' << manifest.GetPartnerId() << '|'
        << manifest.GetVersionId() << '|' << manifest.GetRun() << '|' << manifest.IsActive() << '|'
        << (manifest.GetRunFile() ? manifest.GetRunFile()->GetPath() : "-") << '|';
    for (const char* country : {"DE", "FR", "US", "XX", "de"}) {
        out << manifest.IsCountryAllowed(country);
    }
    for (const auto& file : manifest.GetFiles()) {
        out << "\n" << file->GetPath() << ' ' << file->GetSize() << ' ' << file->GetChunkSize();
        for (const std::uint32_t sum : file->GetChecksums()) {
            out << ' ' << sum;
        }
        if (const auto* standard = dynamic_cast<const StandardFileManifest*>(file.get());
            standard != nullptr && standard->HasDigests()) {
            for (const Sha256Digest& digest : standard->GetDigests()) {
                out << ' ' << ToHex(digest);
            }
        }
    }
    return out.str();
}

// Reads a document both ways: from its tree, and streamed as fetched
// manifests are read. Both must refuse it or both read the same from it.
std::shared_ptr<StandardPackageManifest> Package(const std::string& xml) {
    auto streamed = std::make_shared<StandardPackageManifest>();
    std::string streamError;
    try {
        streamed->ReadXml(xml);
    } catch (const ManifestParseException& e) {
        streamError = std::string("refused ") + e.what();
    }
    auto manifest = std::make_shared<StandardPackageManifest>();
    try {
        manifest->Read(Xml(xml));
    } catch (const ManifestParseException&) {
        EXPECT_NE(streamError, "") << "streamed, this is accepted: " << xml.substr(0, 300);
        throw;
    }
    EXPECT_EQ(streamError.empty() ? Describe(*streamed) : streamError, Describe(*manifest)) << xml.substr(0, 300);
    return manifest;
}

// Whether a document is accepted, and what is read from it, both ways alike.
void ExpectSameReading(const std::string& xml) {
    try {
        Package(xml);
    } catch (const ManifestParseException&) {
    }
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

// The strong digests are for readers with publisher keys; a value that does
// not fit never makes other readers refuse a manifest they always took.
TEST(FileManifest, StrongDigestsAreReadWhenTheyFitAndIgnoredOtherwise) {
    const std::string one = ToHex(Sha256Of("one"));
    const std::string two = ToHex(Sha256Of("two"));
    const std::string three = ToHex(Sha256Of("three"));
    const auto read = [](const std::string& file) {
        auto manifest = Package(Doc(file));
        return std::dynamic_pointer_cast<StandardFileManifest>(manifest->GetFiles().at(0));
    };
    const std::string plain = File("a", 10, 4, kThree);
    const auto withDigests = [&](const std::string& digests) {
        return plain.substr(0, plain.size() - 2) + " sha256=\"" + digests + "\"/>";
    };
    auto file = read(withDigests(one + two + three));
    ASSERT_TRUE(file->HasDigests());
    EXPECT_EQ(file->GetDigests(), (std::vector<Sha256Digest>{Sha256Of("one"), Sha256Of("two"), Sha256Of("three")}));
    EXPECT_EQ(file->GetChecksums(), (std::vector<std::uint32_t>{1, 2, 3}));

    const std::string child = "<file><path>a</path><size>10</size><chunksize>4</chunksize><checksums>" + kThree +
                              "</checksums><sha256>" + one + two + three + "</sha256></file>";
    EXPECT_TRUE(read(child)->HasDigests()) << "as a child element too";

    for (const std::string& unfit : {one + two, one + two + three + "0", one + two + three.substr(0, 63) + "g"}) {
        file = read(withDigests(unfit));
        EXPECT_FALSE(file->HasDigests()) << unfit;
        EXPECT_TRUE(file->GetDigests().empty());
        EXPECT_EQ(file->GetChecksums(), (std::vector<std::uint32_t>{1, 2, 3}));
    }
    EXPECT_FALSE(read(plain)->HasDigests());
    auto empty = read("<file path=\"e\" size=\"0\" chunksize=\"4\" checksums=\"\" sha256=\"\"/>");
    EXPECT_TRUE(empty->HasDigests()) << "an empty file has no chunks to vouch for";
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

// Fetched package manifests are read in one pass: each part the reader looks
// at is shaped into the tree the tree reader would have there. Documents in
// every form the tree reader accepts, and ones it refuses, read alike.
TEST(PackageManifest, StreamedReadingReadsEveryShapeTheTreeReads) {
    const std::string head = "<package id=\"pkg\" name=\"Name\" partnerId=\"partner\" versionId=\"7\">";
    const std::string one = File("a", 4, 4, "00000001");
    const std::string files = "<files>" + one + "</files>";
    const std::vector<std::string> documents = {
        // Values as child elements, first of a name wins, after the files, among unknown elements.
        "<package><files><file><path>a</path><size>4</size><chunksize>4</chunksize><checksums>00000001"
        "</checksums><path>b</path></file></files><id>pkg</id><id>other</id><name>N</name><partnerId>p"
        "</partnerId><x a=\"1\"><id>inner</id><files/></x><versionId>7</versionId><run>a</run></package>",
        "<package id=\"attr\" name=\"n\" partnerId=\"x\" versionId=\"1\"><id>child</id><files/></package>",
        // Text: blanks kept around values, blank-only runs dropped, runs split by markup joined,
        // references and CDATA decoded, CR LF kept.
        head + "<files><file size=\"4\" chunksize=\"4\"><path> a b </path><checksums>0000<!--c-->0001<?pi x?>"
               "  </checksums></file><file size=\"4\" chunksize=\"4\" checksums=\"00000002\"><path><![CDATA[x&amp;"
               "<y>]]></path></file><file size=\"4\" chunksize=\"4\" checksums=\"00000003\" path=\"&#x41;&#233;"
               "&#20013;&lt;&gt;&amp;&apos;\"/><file path=\"s\" chunksize=\"4\" checksums=\"00000004\"><size>4\r\n"
               "</size></file></files></package>",
        head + "<files><file path=\"a&#9;b\" size=\"4\" chunksize=\"4\" checksums=\"00000001\"/></files></package>",
        "<package id=\"pkg\" name=\"A\tB\r\nC\" partnerId=\"partner\" versionId=\"7\">" + files + "</package>",
        "<package id=\"pkg\" name=\"&#32;\" partnerId=\"partner\" versionId=\"7\">" + files + "</package>",
        "<package id=\"pkg\" name=\"\" partnerId=\"partner\" versionId=\"7\">" + files + "</package>",
        // Prologs, byte order mark, declared encodings: bytes are taken as they are.
        "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<!-- c --><!DOCTYPE package>" + head + files +
            "</package>\n<!-- after -->",
        "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><package id=\"pkg\" name=\"caf\xE9 \xC3\xA9\" "
        "partnerId=\"partner\" versionId=\"7\"><files><file path=\"\xE9t\xE9\" size=\"4\" chunksize=\"4\" "
        "checksums=\"00000001\"/></files></package>",
        // Files: the first element only, none but "file" children, no attributes, no comments.
        head + files + "<files><bogus/></files></package>",
        head + "<files>text<?pi?><![CDATA[x]]>" + one + "</files></package>",
        head + "<files n=\"1\">" + one + "</files></package>",
        head + "<files><!-- c -->" + one + "</files></package>",
        head + "<files>" + one + "<other/></files></package>",
        "<package id=\"pkg\" name=\"Name\" partnerId=\"partner\" versionId=\"7\" files=\"\"/>",
        "<package id=\"pkg\" name=\"Name\" partnerId=\"partner\" versionId=\"7\"/>",
        "<package><files/></package>",
        // The version: first element only, then attribute; country codes as the tree has them.
        head + "<version id=\"7\" policy=\"Whitelist\" countryCodes=\"DE\"><countryCodes><countryCode>DE"
               "<!--c--><x/></countryCode><countryCode a=\"b\">FR</countryCode></countryCodes><countryCodes>"
               "<bad/></countryCodes></version><version id=\"9\"/>" + files + "</package>",
        head + "<version><id>7</id><policy>Blacklist</policy><policy>None</policy><countryCodes>"
               "<countryCode>US</countryCode></countryCodes></version>" + files + "</package>",
        head + "<version id=\"7\" policy=\"Whitelist\"><countryCodes n=\"1\"><countryCode>DE</countryCode>"
               "</countryCodes></version>" + files + "</package>",
        head + "<version id=\"7\" policy=\"Whitelist\"><countryCodes><!-- c --><countryCode>DE</countryCode>"
               "</countryCodes></version>" + files + "</package>",
        head + "<version id=\"7\" policy=\"Whitelist\"><countryCodes><countryCode>DEU</countryCode>"
               "</countryCodes></version>" + files + "</package>",
        head + "<version id=\"7\" countryCodes=\"DE\"/>" + files + "</package>",
        "<package id=\"pkg\" name=\"Name\" partnerId=\"partner\" versionId=\"7\" version=\"7\">" + files +
            "</package>",
        "<package id=\"pkg\" name=\"Name\" partnerId=\"partner\" versionId=\"7\" version=\"7\"><version id=\"7\"/>" +
            files + "</package>",
        // The root, values the readers refuse, nesting.
        "<other/>",
        "",
        head + "<files>" + one + one + "</files></package>",
        head + "<files>" + File("a", 4, 4, "0000000g") + "</files></package>",
        "<package id=\"..\" name=\"Name\" partnerId=\"partner\" versionId=\"7\">" + files + "</package>",
    };
    for (const std::string& document : documents) {
        ExpectSameReading(document);
    }
    for (const int depth : {62, 63, 64}) {
        std::string nested = head;
        for (int i = 2; i <= depth; ++i) {
            nested += "<n>";
        }
        for (int i = 2; i <= depth; ++i) {
            nested += "</n>";
        }
        ExpectSameReading(nested + files + "</package>");
    }
}

// What only the streamed reader takes: manifests of real big packages, in time
// linear in their size. What XML allows it to refuse, it refuses.
// Under the sanitizers the ratio of the large document's time to the small
// one's is what shows linear time.
constexpr double kLargeManifestSeconds = test::kSanitizedBuild ? 30.0 : 5.0;

TEST(PackageManifest, StreamedReadingTakesBigManifestsInLinearTime) {
    const auto streamed = [](const std::string& xml) {
        auto manifest = std::make_shared<StandardPackageManifest>();
        manifest->ReadXml(xml);
        return manifest;
    };
    const auto seconds = [&](const std::string& xml) {
        const auto started = std::chrono::steady_clock::now();
        EXPECT_NO_THROW(streamed(xml));
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    };

    std::string files;
    for (int i = 0; i < 150000; ++i) {
        files += File("data/" + std::to_string(i % 300) + "/file" + std::to_string(i) + ".bin", 4, 4, "00000001");
    }
    ASSERT_GT(files.size(), MaxManifestBytes);
    EXPECT_EQ(streamed(Doc(files))->GetFiles().size(), 150000u);

    // Elements that nothing reads cost nothing to keep, and a token as long as
    // the document (the checksums of a 2 TiB package) costs no more time per
    // byte than a short document.
    const auto tiny = [](std::uint64_t bytes) {
        std::string text;
        text.reserve(bytes);
        text = Doc("");
        std::string fill;
        while (fill.size() + text.size() + 4 <= bytes) {
            fill += "<x/>";
        }
        return text.insert(text.find("<files>"), fill);
    };
    const auto oneFile = [](std::uint64_t bytes) {
        const std::string sums(8 * ((bytes - 200) / 8), 'a');
        return Doc(File("big.bin", sums.size() / 8, 1, sums));
    };
    const std::uint64_t cap = MaxPackageManifestBytes;
    using Maker = std::function<std::string(std::uint64_t)>;
    for (const Maker& make : {Maker(tiny), Maker(oneFile)}) {
        const std::string small = make(cap / 8);
        const std::string large = make(cap);
        ASSERT_LE(large.size(), cap);
        const double smallSeconds = seconds(small);
        const double largeSeconds = seconds(large);
        EXPECT_LT(largeSeconds, 16 * smallSeconds + 0.2) << "8 times the text";
        EXPECT_LT(largeSeconds, kLargeManifestSeconds);
    }

    EXPECT_THROW(streamed(tiny(cap + 1) + " "), ManifestParseException) << "over the cap";
    const std::string laughs =
        "<!DOCTYPE package [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">]>"
        "<package id=\"pkg\" name=\"&b;\" partnerId=\"partner\" versionId=\"7\"><files/></package>";
    EXPECT_THROW(streamed(laughs), ManifestParseException) << "declared entities";
    EXPECT_THROW(streamed("<!DOCTYPE package SYSTEM \"x.dtd\">" + Doc("").insert(31, "&u;")),
                 ManifestParseException)
        << "undeclared entity";
    EXPECT_THROW(streamed(Doc("", "<a></b>")), ManifestParseException) << "mismatched tags";
    EXPECT_THROW(streamed(Doc("") + "<package/>"), ManifestParseException) << "two roots";
    EXPECT_THROW(streamed(Doc(File("a\x01", 4, 4, "00000001"))), ManifestParseException) << "a control byte";
    std::string levels;
    for (int i = 0; i < 100000; ++i) {
        levels += "<a>";
    }
    EXPECT_THROW(streamed(Doc("", levels)), ManifestParseException) << "100 000 levels";
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
