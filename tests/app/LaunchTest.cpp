#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "app/CommandLineSplit.h"
#include "app/PosixProcess.h"
#include "app/UpdaterContext.h"
#include "app/XdgShortcut.h"
#include "tests/support/FileBytes.h"
#include "tests/support/TemporaryFolder.h"

namespace tvl {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

using test::ReadWholeFile;

void WriteScript(const fs::path& path, const std::string& body) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << "#!/bin/sh\n" << body;
    fs::permissions(path, fs::perms::owner_all);
}

struct SplitCase {
    const char* text;
    std::vector<std::string> arguments;
};

TEST(SplitCommandLineTest, QuotesBackslashesAndBlanks) {
    const SplitCase cases[] = {
        {"", {}},
        {" \t ", {}},
        {"a b\tc", {"a", "b", "c"}},
        {"  lead  trail  ", {"lead", "trail"}},
        {"\"two words\" x", {"two words", "x"}},
        {"a\"b c\"d", {"ab cd"}},
        {"\"\"", {""}},
        {"x \"\" y", {"x", "", "y"}},
        {"\"\" \"\"", {"", ""}},
        {"\\\"quoted\\\"", {"\"quoted\""}},
        {"\"a \\\"b\\\" c\"", {"a \"b\" c"}},
        {"a\\\\\"b c\"", {"a\\b c"}},
        {"a\\\\\\\"b", {"a\\\"b"}},
        {"C:\\dir\\file", {"C:\\dir\\file"}},
        {"\"C:\\dir\\\\\"", {"C:\\dir\\"}},
        {"trailing\\", {"trailing\\"}},
        {"\"unterminated arg", {"unterminated arg"}},
        {"caf\xC3\xA9 \"na\xC3\xAFve\"", {"caf\xC3\xA9", "na\xC3\xAFve"}},
    };
    for (const SplitCase& c : cases) {
        EXPECT_EQ(SplitCommandLine(c.text), c.arguments) << "splitting [" << c.text << "]";
    }
}

TEST(SplitCommandLineTest, TheDownloaderArgumentStringSplitsBackIntoItsValues) {
    UpdaterContext context(nullptr, "sub", {"/u/updater", "packageVersion=1.2 beta", "log=12"});
    context.host = "cdn.example";
    context.partnerId = "partner";
    context.packageId = "fr=paquet";
    context.productName = "fr=Mon Produit";
    context.productFolder = "fr=Mes Programmes\\Produit";
    context.skinPackageId = "fr=habillage";
    EXPECT_THAT(SplitCommandLine(context.BuildDownloaderCommandLine("fr", "skin main.dat")),
                ElementsAre("/host", "cdn.example", "/id", "partner", "/package", "paquet", "/name",
                            "Mon Produit", "/folder", "Mes Programmes\\Produit", "/locale", "fr", "/version",
                            "1.2 beta", "/skin", "habillage/skin main.dat", "/log", "12"));
    // A language without entries gives empty quoted values, which stay arguments.
    EXPECT_THAT(SplitCommandLine(context.BuildDownloaderCommandLine("it", "")),
                ElementsAre("/host", "cdn.example", "/id", "partner", "/package", "", "/name", "", "/folder",
                            "", "/locale", "it", "/version", "1.2 beta", "/log", "12"));
}

class PosixProcessTest : public ::testing::Test {
  protected:
    fs::path Folder() const { return folder_.Path(); }
    test::TemporaryFolder folder_;
};

TEST_F(PosixProcessTest, TheProgramGetsTheSplitArgumentsInItsOwnFolderAndIsWaitedFor) {
    const fs::path record = Folder() / "record.txt";
    WriteScript(Folder() / "program dir" / "run.sh",
                "pwd > '" + record.string() + "'\nfor a in \"$@\"; do printf '[%s]\\n' \"$a\" >> '" +
                    record.string() + "'; done\nsleep 0.2\necho done >> '" + record.string() + "'\n");
    PosixProcess process((Folder() / "program dir" / "run.sh").string());

    ASSERT_TRUE(process.Run(true, true, " /name \"Two Words\" /empty \"\" /q \\\"x\\\"", ""));
    // Waited for: the line written after the pause is there.
    EXPECT_EQ(ReadWholeFile(record), (Folder() / "program dir").string() +
                                    "\n[/name]\n[Two Words]\n[/empty]\n[]\n[/q]\n[\"x\"]\ndone\n");
}

TEST_F(PosixProcessTest, AGivenWorkingDirectoryAndARelativePathAreHonoured) {
    const fs::path record = Folder() / "record.txt";
    WriteScript(Folder() / "bin" / "run.sh", "pwd > '" + record.string() + "'\n");
    fs::create_directories(Folder() / "work");
    const fs::path previous = fs::current_path();
    fs::current_path(Folder());
    PosixProcess process("bin/run.sh");
    const bool started = process.Run(true, false, "", (Folder() / "work").string());
    fs::current_path(previous);
    ASSERT_TRUE(started);
    EXPECT_EQ(ReadWholeFile(record), (Folder() / "work").string() + "\n");
}

TEST_F(PosixProcessTest, TheProgramsExitStatusDoesNotMatter) {
    WriteScript(Folder() / "fail.sh", "exit 3\n");
    EXPECT_TRUE(PosixProcess((Folder() / "fail.sh").string()).Run(true, true, "", ""));
}

TEST_F(PosixProcessTest, AProgramThatCannotBeStartedFails) {
    EXPECT_FALSE(PosixProcess((Folder() / "missing").string()).Run(true, true, "", ""));
    EXPECT_FALSE(PosixProcess("").Run(true, true, "", ""));
    std::ofstream(Folder() / "data.txt") << "not a program";
    EXPECT_FALSE(PosixProcess((Folder() / "data.txt").string()).Run(true, true, "", ""));
    WriteScript(Folder() / "ok.sh", "true\n");
    EXPECT_FALSE(
        PosixProcess((Folder() / "ok.sh").string()).Run(true, true, "", (Folder() / "nowhere").string()));
}

TEST_F(PosixProcessTest, WithoutWaitRunReturnsWhileTheProgramRuns) {
    const fs::path marker = Folder() / "marker";
    WriteScript(Folder() / "slow.sh", "sleep 1\ntouch '" + marker.string() + "'\n");
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(PosixProcess((Folder() / "slow.sh").string()).Run(false, false, "", ""));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(900));
    EXPECT_FALSE(fs::exists(marker));
}

TEST(DesktopEntryTest, ExecValuesAreQuotedAndEscaped) {
    EXPECT_EQ(DesktopEntryExec("/opt/talvane/updater"), "/opt/talvane/updater");
    EXPECT_EQ(DesktopEntryExec("/opt/my apps/updater"), "\"/opt/my apps/updater\"");
    // Inside quotes ", `, $ and \ take a backslash, and the string escape then
    // doubles every backslash.
    EXPECT_EQ(DesktopEntryExec("/a\"b"), "\"/a\\\\\"b\"");
    EXPECT_EQ(DesktopEntryExec("/a$HOME`x`"), "\"/a\\\\$HOME\\\\`x\\\\`\"");
    EXPECT_EQ(DesktopEntryExec("/a\\b"), "\"/a\\\\\\\\b\"");
    EXPECT_EQ(DesktopEntryExec("/100%/u"), "/100%%/u");
    EXPECT_EQ(DesktopEntryExec("/it's"), "\"/it's\"");
    EXPECT_EQ(DesktopEntryExec("/a\nb"), "\"/a\\nb\"");
    EXPECT_EQ(DesktopEntryExec(""), "\"\"");
    EXPECT_EQ(DesktopEntryString(" lead\\tab\t"), "\\slead\\\\tab\\t");
}

class XdgShortcutTest : public ::testing::Test {
  protected:
    std::string Folder() const { return folder_.Join("shortcuts"); }
    test::TemporaryFolder folder_;
};

TEST_F(XdgShortcutTest, CreateWritesAnApplicationEntryInAPrivateFolder) {
    XdgShortcut shortcut("2c4e6a8b0d1f3a5c7e9b1d3f", Folder());
    ASSERT_TRUE(shortcut.Create("/home/u/Downloads/Talvane Updater"));
    const fs::path entry = fs::path(Folder()) / "2c4e6a8b0d1f3a5c7e9b1d3f.desktop";
    EXPECT_EQ(ReadWholeFile(entry),
              "[Desktop Entry]\nType=Application\nName=2c4e6a8b0d1f3a5c7e9b1d3f\n"
              "Exec=\"/home/u/Downloads/Talvane Updater\"\n");
    struct stat info {};
    ASSERT_EQ(stat(Folder().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
}

TEST_F(XdgShortcutTest, AnExistingEntryIsReplacedWithTheNewTarget) {
    XdgShortcut shortcut("product", Folder());
    ASSERT_TRUE(shortcut.Create("/old/updater"));
    ASSERT_TRUE(shortcut.Create("/new/updater"));
    EXPECT_EQ(ReadWholeFile(fs::path(Folder()) / "product.desktop"),
              "[Desktop Entry]\nType=Application\nName=product\nExec=/new/updater\n");
}

TEST_F(XdgShortcutTest, AnEmptyNameGivesAnEntryNamedByItsExtensionAndASlashIsRefused) {
    ASSERT_TRUE(XdgShortcut("", Folder()).Create("/u"));
    EXPECT_TRUE(fs::exists(fs::path(Folder()) / ".desktop"));
    EXPECT_FALSE(XdgShortcut("../escape", Folder()).Create("/u"));
    EXPECT_FALSE(fs::exists(fs::path(folder_.Path()) / "escape.desktop"));
}

TEST_F(XdgShortcutTest, AFolderThatCannotBeCreatedFails) {
    std::ofstream(folder_.Join("file")) << "x";
    EXPECT_FALSE(XdgShortcut("p", folder_.Join("file/shortcuts")).Create("/u"));
}

TEST_F(XdgShortcutTest, CopyAndRemoveUseTheDesktopEntryOrElseTheInternetShortcut) {
    XdgShortcut shortcut("product", Folder());
    ASSERT_TRUE(shortcut.Create("/u"));
    const std::string other = folder_.Join("other");
    fs::create_directories(other);

    EXPECT_TRUE(shortcut.CopyTo(other, "copy"));
    EXPECT_EQ(ReadWholeFile(fs::path(other) / "copy.desktop"), ReadWholeFile(fs::path(Folder()) / "product.desktop"));
    EXPECT_FALSE(shortcut.CopyTo(other, "copy")) << "an existing target is not overwritten";

    EXPECT_TRUE(shortcut.Remove(other, "copy"));
    EXPECT_FALSE(fs::exists(fs::path(other) / "copy.desktop"));
    EXPECT_FALSE(shortcut.Remove(other, "copy"));

    std::ofstream(fs::path(Folder()) / "web.url") << "[InternetShortcut]\nURL=http://example.invalid/\n";
    XdgShortcut web("web", Folder());
    EXPECT_TRUE(web.CopyTo(other, "web-copy"));
    EXPECT_TRUE(fs::exists(fs::path(other) / "web-copy.url"));
    EXPECT_TRUE(web.Remove(Folder(), "web"));
    EXPECT_FALSE(fs::exists(fs::path(Folder()) / "web.url"));
    EXPECT_FALSE(XdgShortcut("none", Folder()).CopyTo(other, "x"));
}

}  // namespace
}  // namespace tvl
