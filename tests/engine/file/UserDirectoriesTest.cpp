#include "engine/file/UserDirectories.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "tests/support/ScopedEnvironment.h"
#include "tests/support/TemporaryFolder.h"

namespace tvl {
namespace {

namespace fs = std::filesystem;

TEST(UserTemporaryDirectory, PrefersTmpdirThenCacheHomeThenHomeThenTmp) {
    test::ScopedEnvironment env;
    env.Set("TMPDIR", "/a/tmp");
    env.Set("XDG_CACHE_HOME", "/b/cache");
    env.Set("HOME", "/c/home");
    EXPECT_EQ(UserTemporaryDirectory(), "/a/tmp");
    env.Unset("TMPDIR");
    EXPECT_EQ(UserTemporaryDirectory(), "/b/cache");
    env.Unset("XDG_CACHE_HOME");
    EXPECT_EQ(UserTemporaryDirectory(), "/c/home/.cache");
    env.Unset("HOME");
    EXPECT_EQ(UserTemporaryDirectory(), "/tmp");
}

TEST(UserTemporaryDirectory, IgnoresRelativeAndEmptyValues) {
    test::ScopedEnvironment env;
    env.Set("TMPDIR", "relative/tmp");
    env.Set("XDG_CACHE_HOME", "");
    env.Set("HOME", "/c/home");
    EXPECT_EQ(UserTemporaryDirectory(), "/c/home/.cache");
    env.Set("HOME", "home");
    EXPECT_EQ(UserTemporaryDirectory(), "/tmp");
}

TEST(ResolveUserPath, RelativePathsGoUnderTheTemporaryDirectory) {
    test::ScopedEnvironment env;
    env.Set("TMPDIR", "/a/tmp");
    EXPECT_EQ(ResolveUserPath("Brennic Technologies/Talvane Delivery/logs"),
              "/a/tmp/Brennic Technologies/Talvane Delivery/logs");
    EXPECT_EQ(ResolveUserPath("/var/logs"), "/var/logs");
}

class PrivateDirectories : public ::testing::Test {
protected:
    void SetUp() override { env_.Set("TMPDIR", folder_.Path()); }

    test::TemporaryFolder folder_;
    test::ScopedEnvironment env_;
};

TEST_F(PrivateDirectories, CreatesMissingFoldersPrivateToTheUser) {
    const std::string target = folder_.Join("Brennic Technologies/Talvane Delivery/transfers");
    std::string error;
    ASSERT_TRUE(CreatePrivateDirectories(target, &error)) << error;
    for (const std::string& created : {folder_.Join("Brennic Technologies"), target}) {
        struct stat info;
        ASSERT_EQ(stat(created.c_str(), &info), 0);
        EXPECT_TRUE(S_ISDIR(info.st_mode));
        EXPECT_EQ(info.st_mode & 0777, 0700u) << created;
    }
    EXPECT_TRUE(CreatePrivateDirectories(target)) << "an existing folder of ours is usable";
}

TEST_F(PrivateDirectories, RefusesASymbolicLinkPlantedInOurFolders) {
    test::TemporaryFolder elsewhere;
    fs::create_directory_symlink(elsewhere.Path(), folder_.Join("Brennic Technologies"));
    std::string error;
    EXPECT_FALSE(CreatePrivateDirectories(folder_.Join("Brennic Technologies/Talvane Delivery"), &error));
    EXPECT_NE(error.find("symbolic link"), std::string::npos) << error;
    EXPECT_TRUE(fs::is_empty(elsewhere.Path())) << "nothing may be created through the link";
}

TEST_F(PrivateDirectories, RefusesAFileInThePlaceOfAFolder) {
    { std::ofstream(folder_.Join("Brennic Technologies")) << "x"; }
    std::string error;
    EXPECT_FALSE(CreatePrivateDirectories(folder_.Join("Brennic Technologies/Talvane Delivery"), &error));
    EXPECT_NE(error.find("not a folder"), std::string::npos) << error;
}

TEST_F(PrivateDirectories, RefusesAFolderOfAnotherUser) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to give a folder to another user";
    }
    const std::string planted = folder_.Join("Brennic Technologies");
    fs::create_directory(planted);
    ASSERT_EQ(chown(planted.c_str(), 65534, 65534), 0);
    std::string error;
    EXPECT_FALSE(CreatePrivateDirectories(planted + "/Talvane Delivery", &error));
    EXPECT_NE(error.find("another user"), std::string::npos) << error;
}

TEST_F(PrivateDirectories, EmptyPathIsRefused) { EXPECT_FALSE(CreatePrivateDirectories("")); }

}  // namespace
}  // namespace tvl
