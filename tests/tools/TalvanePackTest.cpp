#include "tools/talvane-pack/PackageBuilder.h"

#include <gtest/gtest.h>

#include <boost/property_tree/ptree.hpp>
#include <filesystem>
#include <fstream>

#include "engine/manifest/Crc32.h"
#include "engine/manifest/ManifestParsing.h"
#include "engine/manifest/NodeManifest.h"
#include "engine/manifest/StandardPackageManifest.h"
#include "tests/support/FileBytes.h"
#include "tests/support/TemporaryFolder.h"

namespace tvl::pack {
namespace {

namespace fs = std::filesystem;

using test::ReadWholeFile;
using test::WriteWholeFile;

template <typename Manifest>
std::shared_ptr<Manifest> ReadManifest(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    boost::property_tree::ptree tree;
    ParseXmlManifest(in, tree);
    auto manifest = std::make_shared<Manifest>();
    manifest->Read(tree);
    return manifest;
}

class TalvanePack : public ::testing::Test {
protected:
    PackageOptions Options() {
        PackageOptions options;
        options.input = input_.Path();
        options.output = output_.Path();
        options.partnerId = "partner";
        options.packageId = "pkg";
        options.versionId = "3";
        options.name = "Demo & \"Co\"";
        options.chunkSize = 1000;
        options.threads = 3;
        return options;
    }

    test::TemporaryFolder input_;
    test::TemporaryFolder output_;
};

TEST_F(TalvanePack, WritesAManifestTheReaderAcceptsWithEveryChunkHashed) {
    std::string big;
    for (int i = 0; i < 5500; ++i) {
        big += static_cast<char>(i * 31 + 7);
    }
    WriteWholeFile(fs::path(input_.Path()) / "bin/app", big);
    WriteWholeFile(fs::path(input_.Path()) / "empty", "");
    WriteWholeFile(fs::path(input_.Path()) / "a.txt", "hello");
    PackageOptions options = Options();
    options.run = "bin/app";
    options.current = true;
    options.policy = "Whitelist";
    options.countries = {"DE", "FR"};
    options.nodes = {"127.0.0.1:47810", "https://127.0.0.1:47811"};
    options.weights = {2, 1};
    const PackResult result = BuildPackage(options);
    EXPECT_EQ(result.totalBytes, 5505u);

    const fs::path root(output_.Path());
    auto manifest = ReadManifest<StandardPackageManifest>(root / "manifests/pkg/3.xml");
    EXPECT_EQ(manifest->GetName(), "Demo & \"Co\"");
    EXPECT_EQ(manifest->GetRunFile()->GetPath(), "bin/app");
    EXPECT_TRUE(manifest->IsCountryAllowed("DE"));
    EXPECT_FALSE(manifest->IsCountryAllowed("US"));
    ASSERT_EQ(manifest->GetFiles().size(), 3u);
    EXPECT_EQ(manifest->GetFiles()[0]->GetPath(), "a.txt") << "files in byte order of their paths";
    EXPECT_EQ(manifest->GetFiles()[1]->GetPath(), "bin/app");
    const auto& checksums = manifest->GetFiles()[1]->GetChecksums();
    ASSERT_EQ(checksums.size(), 6u);
    for (std::size_t c = 0; c < checksums.size(); ++c) {
        const std::string chunk = big.substr(c * 1000, 1000);
        EXPECT_EQ(checksums[c], Crc32(chunk.data(), chunk.size())) << "chunk " << c;
    }
    EXPECT_EQ(ReadWholeFile(root / "manifests/pkg/current.xml"), ReadWholeFile(root / "manifests/pkg/3.xml"));
    EXPECT_EQ(ReadWholeFile(root / "packages/partner/pkg/3/bin/app"), big);

    auto nodes = ReadManifest<StandardNodeListManifest>(root / "nodes/partner.xml");
    ASSERT_EQ(nodes->GetNodes().size(), 2u);
    EXPECT_EQ(nodes->GetNodes()[0]->GetHost(), "127.0.0.1:47810");
    EXPECT_EQ(nodes->GetNodes()[0]->GetWeight(), 2u);
    EXPECT_EQ(nodes->GetNodes()[0]->GetPath(), "/packages/");
    EXPECT_EQ(nodes->GetNodes()[1]->GetHost(), "https://127.0.0.1:47811") << "written as given, scheme and all";
}

TEST_F(TalvanePack, NodePathPlacesTheFiles) {
    WriteWholeFile(fs::path(input_.Path()) / "f", "x");
    PackageOptions options = Options();
    options.nodePath = "/cdn/files/";
    options.nodes = {"localhost"};
    BuildPackage(options);
    EXPECT_TRUE(fs::exists(fs::path(output_.Path()) / "cdn/files/partner/pkg/3/f"));
    EXPECT_FALSE(fs::exists(fs::path(output_.Path()) / "manifests/pkg/current.xml")) << "only with --current";
}

TEST_F(TalvanePack, RefusesWhatItCannotRepresentSafely) {
    test::TemporaryFolder outside;
    WriteWholeFile(fs::path(outside.Path()) / "secret", "x");
    fs::create_symlink(fs::path(outside.Path()) / "secret", fs::path(input_.Path()) / "link");
    EXPECT_THROW(BuildPackage(Options()), PackError) << "a link leading out";
    fs::remove(fs::path(input_.Path()) / "link");

    fs::create_directories(fs::path(outside.Path()) / "folder");
    fs::create_directory_symlink(fs::path(outside.Path()) / "folder", fs::path(input_.Path()) / "dirlink");
    try {
        BuildPackage(Options());
        ADD_FAILURE() << "a folder link leading out was packed";
    } catch (const PackError& refusal) {
        EXPECT_NE(std::string(refusal.what()).find("dirlink"), std::string::npos)
            << "the message names the offending entry: " << refusal.what();
    }
    fs::remove(fs::path(input_.Path()) / "dirlink");
    fs::create_symlink("loop", fs::path(input_.Path()) / "loop");
    EXPECT_THROW(BuildPackage(Options()), PackError) << "a link to itself";
    fs::remove(fs::path(input_.Path()) / "loop");
    WriteWholeFile(fs::path(input_.Path()) / "line\nbreak", "x");
    EXPECT_THROW(BuildPackage(Options()), PackError) << "a control character in a name";
    fs::remove(fs::path(input_.Path()) / "line\nbreak");

    WriteWholeFile(fs::path(input_.Path()) / "quote\"name", "x");
    EXPECT_THROW(BuildPackage(Options()), PackError);
    fs::remove(fs::path(input_.Path()) / "quote\"name");
    WriteWholeFile(fs::path(input_.Path()) / "back\\slash", "x");
    EXPECT_THROW(BuildPackage(Options()), PackError);
    fs::remove(fs::path(input_.Path()) / "back\\slash");

    WriteWholeFile(fs::path(input_.Path()) / "ok", "x");
    fs::create_symlink("ok", fs::path(input_.Path()) / "inner-link");
    EXPECT_NO_THROW(BuildPackage(Options())) << "a link to a file inside is packed as that file";

    test::TemporaryFolder nothing;
    PackageOptions empty = Options();
    empty.input = nothing.Path();
    EXPECT_THROW(BuildPackage(empty), PackError) << "a folder without files";

    PackageOptions badId = Options();
    badId.packageId = "../escape";
    EXPECT_THROW(BuildPackage(badId), PackError);
    badId.packageId = "pkg";
    badId.versionId = "1..2";
    EXPECT_THROW(BuildPackage(badId), PackError) << "a version id the engine would refuse";
    PackageOptions badRun = Options();
    badRun.run = "missing";
    EXPECT_THROW(BuildPackage(badRun), PackError);
    PackageOptions badNode = Options();
    for (const std::string node : {"http://host/", "ftp://host", "https://host/files", "https://user@host"}) {
        badNode.nodes = {node};
        EXPECT_THROW(BuildPackage(badNode), PackError) << node;
    }
    PackageOptions badCountries = Options();
    badCountries.countries = {"DE"};
    EXPECT_THROW(BuildPackage(badCountries), PackError) << "countries without a policy";
    EXPECT_FALSE(fs::exists(fs::path(output_.Path()) / "manifests/escape"));
}

TEST(TalvanePackArguments, ParsesListsAndRejectsNonsense) {
    const PackageOptions options = ParsePackArguments(
        {"--input", "in", "--output", "out", "--partner", "p", "--package", "k", "--version", "1", "--name", "N",
         "--chunk-size", "4096", "--nodes", "a:1,b:2", "--weights", "3,4", "--node-path", "/x", "--current"});
    EXPECT_EQ(options.chunkSize, 4096u);
    EXPECT_EQ(options.nodes, (std::vector<std::string>{"a:1", "b:2"}));
    EXPECT_EQ(options.weights, (std::vector<std::uint32_t>{3, 4}));
    EXPECT_EQ(options.nodePath, "/x/");
    EXPECT_TRUE(options.current);
    EXPECT_THROW(ParsePackArguments({"--chunk-size", "-1"}), PackError);
    EXPECT_THROW(ParsePackArguments({"--chunk-size", "4294967296"}), PackError);
    EXPECT_THROW(ParsePackArguments({"--bogus"}), PackError);
    EXPECT_THROW(ParsePackArguments({"--input"}), PackError);
}

}  // namespace
}  // namespace tvl::pack
