#include "engine/file/PosixSharedFileFactory.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "engine/file/FileExceptions.h"
#include "tests/support/TemporaryFolder.h"

namespace tvl {
namespace {

namespace fs = std::filesystem;

class SharedFileFactoryTest : public ::testing::Test {
  protected:
    void Touch(const std::string& relative) {
        fs::create_directories(fs::path(folder_.Join(relative)).parent_path());
        std::ofstream(folder_.Join(relative)) << "x";
    }

    test::TemporaryFolder folder_;
    PosixSharedFileFactory factory_;
};

TEST_F(SharedFileFactoryTest, DeleteRemovesEmptiedFoldersUpToButNotTheBase) {
    Touch("outer/inner/file.bin");
    Touch("outer/sibling.bin");
    EXPECT_TRUE(factory_.Delete(folder_.Path(), "outer/inner/file.bin", true));
    EXPECT_FALSE(fs::exists(folder_.Join("outer/inner"))) << "emptied, so removed";
    EXPECT_TRUE(fs::exists(folder_.Join("outer/sibling.bin"))) << "the walk stops at a folder with content";

    EXPECT_TRUE(factory_.Delete(folder_.Path(), "outer/sibling.bin", false));
    EXPECT_FALSE(fs::exists(folder_.Join("outer")));
    EXPECT_TRUE(fs::is_directory(folder_.Path())) << "the base folder stays, even when empty";

    Touch("top.bin");
    EXPECT_TRUE(factory_.Delete(folder_.Path(), "top.bin", false));
    EXPECT_TRUE(fs::is_directory(folder_.Path()));
}

TEST_F(SharedFileFactoryTest, DeleteReportsFailureWithoutThrowing) {
    EXPECT_FALSE(factory_.Delete(folder_.Path(), "a/missing.bin", true));
    Touch("dir/kept.bin");
    EXPECT_FALSE(factory_.Delete(folder_.Path(), "dir", false)) << "a folder is not a file";
    EXPECT_TRUE(fs::exists(folder_.Join("dir/kept.bin")));

    test::TemporaryFolder other;
    std::ofstream(other.Join("victim.bin")) << "x";
    const std::string escape = "../" + fs::path(other.Path()).filename().string() + "/victim.bin";
    EXPECT_FALSE(factory_.Delete(folder_.Path(), escape, false));
    EXPECT_FALSE(factory_.Delete(folder_.Path(), other.Join("victim.bin"), false));
    EXPECT_TRUE(fs::exists(other.Join("victim.bin"))) << "nothing outside the folder is deleted";
}

TEST_F(SharedFileFactoryTest, IsEmptyIgnoresHiddenEntriesOnlyWhenAsked) {
    EXPECT_TRUE(factory_.IsEmpty(folder_.Path(), false));
    Touch(".hidden");
    fs::create_directory(folder_.Join(".cache"));
    Touch(".cache/visible-inside-hidden.bin");
    EXPECT_FALSE(factory_.IsEmpty(folder_.Path(), false));
    EXPECT_TRUE(factory_.IsEmpty(folder_.Path(), true)) << "hidden folders are not entered";
    fs::create_directory(folder_.Join("sub"));
    EXPECT_FALSE(factory_.IsEmpty(folder_.Path(), true)) << "an empty visible folder is content";
    EXPECT_TRUE(factory_.IsEmpty(folder_.Join("sub"), true));

    EXPECT_THROW(factory_.IsEmpty(folder_.Join("missing"), true), FileBadPathException);
    EXPECT_THROW(factory_.IsEmpty(folder_.Join(".hidden"), true), FileBadPathException) << "a file";
}

TEST_F(SharedFileFactoryTest, HiddenMeansADotName) {
    EXPECT_TRUE(factory_.IsHidden("/some/where/.config"));
    EXPECT_TRUE(factory_.IsHidden(".profile"));
    EXPECT_FALSE(factory_.IsHidden("/some/.where/visible"));
    EXPECT_FALSE(factory_.IsHidden("/some/where/file.txt"));
    EXPECT_FALSE(factory_.IsHidden("/some/where/.."));
    EXPECT_FALSE(factory_.IsHidden(""));
}

TEST_F(SharedFileFactoryTest, ExecutableByExtensionOnly) {
    for (const char* name : {"setup.exe", "a/b/run.bat", "x.com", "x.cmd", "x.msi", "x.vbs", "install.sh",
                             "bin/installer.run", "Talvane.AppImage", "archive.tar.sh"}) {
        EXPECT_TRUE(factory_.IsExecutable("/nowhere", name)) << name;
    }
    for (const char* name : {"SETUP.EXE", "setup.Exe", "x.appimage", "readme.txt", "program", "exe",
                             "dir.exe/readme", "x.exe.txt"}) {
        EXPECT_FALSE(factory_.IsExecutable("/nowhere", name)) << name;
    }
}

}  // namespace
}  // namespace tvl
