// The updater program from entry to exit, without a display so that the
// terminal view is used. The service behind it is whatever the engine
// currently is, so the run must end either way: with the launch, or with an
// error text; in every case with exit code 0 and within the time limit.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/TalvaneUpdaterMessages.h"
#include "app/UpdaterContext.h"
#include "engine/workflow/TransferError.h"
#include "resources/Deployment.h"
#include "tests/support/TemporaryFolder.h"

namespace tvl {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

struct Outcome {
    int exitCode = -1;
    std::string out;
    std::string err;
};

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs the updater without a display, with its input from /dev/null, the
// given temporary directory and language, for at most 120 seconds.
Outcome RunUpdater(const test::TemporaryFolder& folder, const std::string& tmpdir, const std::string& lang) {
    const std::string out = folder.Join("stdout.txt");
    const std::string err = folder.Join("stderr.txt");
    const std::string command =
        "env -u DISPLAY -u WAYLAND_DISPLAY -u LC_ALL -u LC_CTYPE -u LC_MESSAGES "
        "TMPDIR='" +
        tmpdir + "' LANG='" + lang + "' timeout 120 '" TALVANE_UPDATER_PATH "' log=0 < /dev/null > '" + out +
        "' 2> '" + err + "'";
    const int status = std::system(command.c_str());
    Outcome outcome;
    outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    outcome.out = ReadFile(out);
    outcome.err = ReadFile(err);
    return outcome;
}

// The product name the updater shows: the deployment's, for the first
// language of its list (the one a non-interactive run chooses).
std::string ShownProductName() {
    const UpdaterContext context(&CompiledDeployment(), "sub", {"updater"});
    const std::string language = context.languages.empty() ? std::string() : context.languages.front().first;
    return LocalizedValue(context.productName, language);
}

TEST(UpdaterProgramTest, WithoutADisplayTheTerminalViewRunsTheWholeSequence) {
    test::TemporaryFolder folder;
    const std::string tmpdir = folder.Join("tmp");
    fs::create_directories(tmpdir);
    const Outcome outcome = RunUpdater(folder, tmpdir, "C.UTF-8");

    EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
    EXPECT_THAT(outcome.out, HasSubstr("== " + ShownProductName() + " Downloader =="));
    const UpdaterContext context(&CompiledDeployment(), "sub", {"updater"});
    if (!context.languages.empty()) {
        EXPECT_THAT(outcome.out, HasSubstr("Please select the language for your download:\n  1) " +
                                           context.languages.front().second + "\n"));
    }
    EXPECT_TRUE(fs::is_directory(fs::path(tmpdir) / "Brennic Technologies" / "Talvane Delivery"));
    // Either the program was launched or the user was told why not.
    const bool launched =
        outcome.out.find("Launching " + ShownProductName() + " Downloader") != std::string::npos;
    if (!launched) {
        EXPECT_THAT(outcome.err, HasSubstr(ShownProductName() + " Downloader Error: ")) << outcome.out;
    }
}

TEST(UpdaterProgramTest, ADataFolderThatCannotBeCreatedShowsTheDiskWritingTextWithoutADialog) {
    test::TemporaryFolder folder;
    const std::string blocker = folder.Join("not-a-folder");
    std::ofstream(blocker) << "x";
    const Outcome outcome = RunUpdater(folder, blocker, "C.UTF-8");

    EXPECT_EQ(outcome.exitCode, 0);
    const TalvaneUpdaterMessages messages;
    EXPECT_THAT(outcome.err, HasSubstr(messages.GetErrorMessage(TransferError::FileAccessError)));
    EXPECT_THAT(outcome.out, Not(HasSubstr("Please select the language")));
}

TEST(UpdaterProgramTest, ALanguageWithAnUnknownCharacterSetDoesNotStopTheUpdater) {
    test::TemporaryFolder folder;
    const std::string blocker = folder.Join("not-a-folder");
    std::ofstream(blocker) << "x";
    const Outcome outcome = RunUpdater(folder, blocker, "xx_YY.NO-SUCH-CHARSET");

    EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
    const TalvaneUpdaterMessages messages;
    EXPECT_THAT(outcome.err, HasSubstr(messages.GetErrorMessage(TransferError::FileAccessError)));
}

}  // namespace
}  // namespace tvl
