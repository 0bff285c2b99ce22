// A package published by talvane-pack and served by nginx, a real static HTTP
// server, downloaded by talvane-get: the content-root layout, the byte ranges
// and the node list have to agree with what such a server does, not only with
// our own test CDN.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/support/EngineEnvironment.h"
#include "tests/support/FileBytes.h"
#include "tests/support/NginxServer.h"
#include "tests/support/RandomFiles.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/TestCdn.h"
#include "tools/talvane-cdn/CdnServer.h"
#include "tools/talvane-get/TalvaneGet.h"
#include "tools/talvane-pack/PackageBuilder.h"

namespace tvl {
namespace {

namespace fs = std::filesystem;
using cdn::CdnEndpoint;
using test::ReadWholeFile;

class NginxServedPackage : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::NginxServer::Available()) {
            GTEST_SKIP() << "nginx is not installed (scripts/setup.sh installs nginx-light)";
        }
        test::IsolateEngineEnvironment(environment_, user_.Path());
        test::RandomFiles input(input_.Path(), 13);
        // Sizes around the chunk size: empty, one byte short, exact, one over,
        // several chunks with a short tail; names with blanks and non-ASCII
        // letters, which the node URL has to escape for nginx to find them.
        input.Write("bin/downloader", 65535);
        input.Write("empty", 0);
        input.Write("exact.bin", 65536);
        input.Write("over.bin", 65537);
        input.Write("data/big file.bin", 5 * 65536 + 123);
        input.Write("data/größe/ñandú.txt", 4000);
        for (int i = 0; i < 12; ++i) {
            input.Write("data/many/" + std::to_string(i) + ".bin", 777 * (i + 1) * 13);
        }

        nginx_ = std::make_unique<test::NginxServer>(root_.Path(), 2);
        cdn::CdnServerOptions options;
        options.contentRoot = root_.Path();
        options.nodeCount = 1;
        cdn_ = std::make_unique<cdn::CdnServer>(options);
    }

    void Pack(const std::string& version, const std::vector<std::string>& nodes) {
        pack::PackageOptions pack = test::CurrentPackageOptions(input_.Path(), root_.Path(), version);
        pack.name = "Served By Nginx";
        pack.run = "bin/downloader";
        pack.nodes = nodes;
        pack::BuildPackage(pack);
    }

    int Get(std::string& output) {
        const get::GetOptions options = get::ParseGetArguments(test::CdnGetArguments(
            *cdn_, {"--partner", "partner", "--package", "pkg", "--dest", destination_.Path(), "--retries", "0",
                    "--json", "--quiet"}));
        std::ostringstream out, err;
        std::atomic<int> interrupted{0};
        const int code = get::RunGet(options, out, err, interrupted);
        output = out.str() + err.str();
        return code;
    }

    void ExpectSameTree() const {
        std::size_t files = 0;
        for (const auto& entry : fs::recursive_directory_iterator(input_.Path())) {
            if (entry.is_regular_file()) {
                const fs::path relative = fs::relative(entry.path(), input_.Path());
                const fs::path copy = fs::path(destination_.Path()) / relative;
                ASSERT_TRUE(fs::is_regular_file(copy)) << relative;
                EXPECT_TRUE(ReadWholeFile(copy) == ReadWholeFile(entry.path())) << relative << " differs";
                ++files;
            }
        }
        EXPECT_EQ(files, 18u);
    }

    std::uint64_t NodeRequestsToCdn() const { return cdn_->Requests(CdnEndpoint::Node(0)).size(); }

    test::ScopedEnvironment environment_;
    test::TemporaryFolder user_;
    test::TemporaryFolder input_;
    test::TemporaryFolder root_;
    test::TemporaryFolder destination_;
    std::unique_ptr<test::NginxServer> nginx_;
    std::unique_ptr<cdn::CdnServer> cdn_;
};

TEST_F(NginxServedPackage, TalvaneGetDownloadsEveryFileByteForByteAndRepairsWhatChangesLater) {
    Pack("1", {nginx_->Authority(0), nginx_->Authority(1)});
    std::string output;
    ASSERT_EQ(Get(output), 0) << output;
    ExpectSameTree();
    EXPECT_EQ(NodeRequestsToCdn(), 0u) << "every chunk came from nginx";
    EXPECT_NE(output.find("\"bytesTotal\":" +
                          std::to_string(65535 + 65536 + 65537 + 5 * 65536 + 123 + 4000 + 777 * 13 * 78) + ","),
              std::string::npos)
        << output;

    // Damage the copy: a flipped byte in the middle chunk of one file, a file
    // gone, a file cut short. The second run verifies everything and fetches
    // only what no longer matches.
    const fs::path destination(destination_.Path());
    {
        std::fstream big(destination / "data/big file.bin", std::ios::in | std::ios::out | std::ios::binary);
        big.seekp(2 * 65536 + 5);
        big.put('\x5a' ^ static_cast<char>(ReadWholeFile(destination / "data/big file.bin")[2 * 65536 + 5]));
    }
    fs::remove(destination / "data/größe/ñandú.txt");
    fs::resize_file(destination / "over.bin", 100);
    ASSERT_EQ(Get(output), 0) << output;
    ExpectSameTree();
    // Downloaded again: one chunk of the damaged file, the missing file, both
    // chunks of the cut file; everything else was verified in place.
    EXPECT_NE(output.find("\"bytesDownloaded\":" + std::to_string(65536 + 4000 + 65537) + ","), std::string::npos)
        << output;
}

TEST_F(NginxServedPackage, ANodeListWithADeadNodeStillCompletesFromNginx) {
    // A port nothing listens on any more: the engine has to route around it.
    const std::string dead = [] {
        test::NginxServer gone(fs::temp_directory_path().string(), 1);
        return gone.Authority(0);
    }();
    Pack("2", {dead, nginx_->Authority(0)});
    std::string output;
    ASSERT_EQ(Get(output), 0) << output;
    ExpectSameTree();
}

}  // namespace
}  // namespace tvl
