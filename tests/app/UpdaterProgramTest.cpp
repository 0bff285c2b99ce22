// The updater program from entry to exit. The first tests run it without a
// display and without servers, so it must end either way: with the launch, or
// with an error text; in every case with exit code 0 and within the time
// limit. The delivery tests serve both packages from a local CDN on the
// deployment's own ports, inside a private network namespace of the test
// process (skipped where one cannot be made), and check the launch, the
// shortcut and the exit status, in the terminal view and (with a display,
// as the _xvfb run gives it) in the GTK view, and the end on a signal.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "app/TalvaneUpdaterMessages.h"
#include "app/UpdaterContext.h"
#include "engine/workflow/TransferError.h"
#include "resources/Deployment.h"
#ifdef TALVANE_HAVE_XTEST
#include "tests/app/XTestKeyboard.h"
#endif
#include "tests/support/FileBytes.h"
#include "tests/support/PollUntil.h"
#include "tests/support/ProgramRun.h"
#include "tests/support/RandomFiles.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/TestCdn.h"
#include "tools/talvane-cdn/CdnServer.h"
#include "tools/talvane-pack/PackageBuilder.h"

extern char** environ;

namespace tvl {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::Not;
using namespace std::chrono_literals;

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

TEST(UpdaterProgramTest, HelpAndVersionAnswerOnStdoutWithoutStartingAnything) {
    test::TemporaryFolder folder;
    test::ScopedEnvironment environment;
    environment.Set("TMPDIR", folder.Path());
    for (const char* word : {"--help", "-h"}) {
        const test::ProgramOutcome help = test::RunProgram(TALVANE_UPDATER_PATH, {"log=0", word});
        EXPECT_EQ(help.exitCode, 0) << word;
        EXPECT_EQ(help.out.rfind("Usage: talvane-updater ", 0), 0u) << help.out;
        for (const char* token : {"packageVersion=ID", "skinVersion=ID", "log=N", "--version"}) {
            EXPECT_THAT(help.out, HasSubstr(token));
        }
        EXPECT_EQ(help.err, "");
    }
    const test::ProgramOutcome version = test::RunProgram(TALVANE_UPDATER_PATH, {"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out.rfind(std::string("talvane-updater ") + TALVANE_PROJECT_VERSION + " (rev ", 0), 0u)
        << version.out;
    EXPECT_EQ(version.out.back(), '\n');
    EXPECT_EQ(std::count(version.out.begin(), version.out.end(), '\n'), 1);
    EXPECT_EQ(version.err, "");
    EXPECT_TRUE(fs::is_empty(folder.Path())) << "no data folder: nothing was started";
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

// Moves the test process into a user and network namespace of its own, with
// its loopback up, so that the deployment's fixed ports are free whatever
// else runs on the machine. Must happen while the process has one thread;
// every child started later shares the namespace. Empty when it worked, else
// the reason.
const std::string& EnterPrivateNetwork() {
    static const std::string failure = [] () -> std::string {
        const uid_t uid = getuid();
        const gid_t gid = getgid();
        if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
            return std::string("unshare: ") + std::strerror(errno);
        }
        // The test keeps its own ids inside, so its children run as the user.
        const auto write = [](const char* file, const std::string& text) {
            std::ofstream out(file);
            out << text;
            out.close();
            return static_cast<bool>(out);
        };
        if (!write("/proc/self/setgroups", "deny") ||
            !write("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1") ||
            !write("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1")) {
            return "the id maps of the namespace cannot be written";
        }
        const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ifreq request{};
        std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
        const bool up = sock >= 0 && ioctl(sock, SIOCGIFFLAGS, &request) == 0 &&
                        (request.ifr_flags |= IFF_UP, ioctl(sock, SIOCSIFFLAGS, &request) == 0);
        if (sock >= 0) {
            close(sock);
        }
        return up ? std::string() : "loopback cannot be brought up";
    }();
    return failure;
}

// The port of "host:port" or "http://host:port/path".
std::uint16_t PortOf(const std::string& text) {
    const std::size_t colon = text.rfind(':');
    return static_cast<std::uint16_t>(std::stoi(text.substr(colon + 1)));
}

// The updater as a child process with its own environment, its input from
// /dev/null and its output in files; the destructor kills it if it still runs.
class UpdaterProcess {
  public:
    UpdaterProcess(const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
                   const std::string& outputFolder)
        : outPath_(outputFolder + "/stdout.txt"), errPath_(outputFolder + "/stderr.txt") {
        std::vector<std::string> argv = {TALVANE_UPDATER_PATH};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        std::vector<char*> args;
        for (std::string& a : argv) {
            args.push_back(a.data());
        }
        args.push_back(nullptr);
        std::vector<std::string> env = environment;
        std::vector<char*> envp;
        for (std::string& e : env) {
            envp.push_back(e.data());
        }
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), envp.data()) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
    }
    ~UpdaterProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    UpdaterProcess(const UpdaterProcess&) = delete;
    UpdaterProcess& operator=(const UpdaterProcess&) = delete;

    bool Started() const { return pid_ > 0; }
    void Signal(int number) const { kill(pid_, number); }

    // The outcome once the child has ended within `limit`; exitCode stays -1
    // when it did not, or when a signal ended it.
    Outcome Wait(std::chrono::milliseconds limit) {
        Outcome outcome;
        int status = 0;
        const bool ended = test::PollUntil(
            [&] { return pid_ <= 0 || waitpid(pid_, &status, WNOHANG) == pid_; }, limit, 20ms);
        if (ended && pid_ > 0) {
            pid_ = -1;
            outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            if (WIFSIGNALED(status)) {
                outcome.err = "ended by signal " + std::to_string(WTERMSIG(status)) + "\n";
            }
        }
        outcome.out = ReadFile(outPath_);
        outcome.err += ReadFile(errPath_);
        return outcome;
    }

  private:
    pid_t pid_ = -1;
    std::string outPath_;
    std::string errPath_;
};

// Both packages of the compiled deployment served from a CDN on the
// deployment's ports: the downloader package, whose run file records how it
// was started, and the skin package at version "7". Everything lives in the
// test's folders; the updater runs with a temporary directory of its own.
class UpdaterDelivery : public ::testing::Test {
  protected:
    static constexpr std::uint32_t kChunkSize = 16 * 1024;

    void SetUp() override {
        if (const std::string& failure = EnterPrivateNetwork(); !failure.empty()) {
            GTEST_SKIP() << "no private network namespace: " << failure;
        }
        const DeploymentValues& deployment = CompiledDeployment();
        cdn::CdnServerOptions options;
        options.contentRoot = root_.Path();
        options.manifestPort = PortOf(deployment.manifestHost);
        options.geolocationPort = PortOf(deployment.geolocationUrl);
        options.eventsPort = PortOf(deployment.analyticsEventsUrl);
        options.transfersPort = PortOf(deployment.analyticsTransfersUrl);
        server_ = std::make_unique<cdn::CdnServer>(options);

        language_ = context_.languages.empty() ? std::string() : context_.languages.front().first;
        skinPackage_ = LocalizedValue(context_.skinPackageId, language_);
        test::RandomFiles files(downloaderInput_.Path(), 21);
        files.Write("data/engine.bin", 384 * kChunkSize + 123);
        test::WriteWholeFile(downloaderInput_.Join("bin/downloader.sh"),
                             "#!/bin/sh\n{ pwd; for a in \"$@\"; do printf '%s\\n' \"$a\"; done; } > "
                             "\"$TALVANE_LAUNCH_RECORD\"\nexec grep '^SigBlk' /proc/self/status >> "
                             "\"$TALVANE_LAUNCH_RECORD\"\n");
        Pack(downloaderInput_.Path(), context_.downloaderPartnerId, context_.downloaderPackageId, "1.0",
             "bin/downloader.sh");
        test::RandomFiles(skinInput_.Path(), 22).Write("skin/main.skin", 20 * kChunkSize + 7);
        Pack(skinInput_.Path(), context_.partnerId, skinPackage_, "7", "skin/main.skin");
        dataRoot_ = fs::path(user_.Path()) / "Brennic Technologies" / "Talvane Delivery";
    }

    void Pack(const std::string& input, const std::string& partner, const std::string& package,
              const std::string& version, const std::string& run) {
        pack::PackageOptions options;
        options.input = input;
        options.output = root_.Path();
        options.partnerId = partner;
        options.packageId = package;
        options.versionId = version;
        options.run = run;
        options.name = package;
        options.chunkSize = kChunkSize;
        options.current = true;
        options.nodes = test::CdnNodeAuthorities(*server_);
        // The updater requires the deployment's signature whenever the
        // deployment names keys; the demo deployment's key is the build's.
        if (*CompiledDeployment().publisherKeys != '\0') {
            options.signKey = TALVANE_DEMO_PUBLISHER_KEY;
        }
        packageBytes_ += pack::BuildPackage(options).totalBytes;
    }

    // The environment of the test without what would choose another view or
    // language, plus the updater's own temporary directory.
    std::vector<std::string> Environment(bool display) const {
        std::vector<std::string> environment;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            const std::string text = *entry;
            const std::string name = text.substr(0, text.find('='));
            if (name == "TMPDIR" || name == "LANG" || name.rfind("LC_", 0) == 0 ||
                name == "WAYLAND_DISPLAY" || (!display && name == "DISPLAY")) {
                continue;
            }
            environment.push_back(text);
        }
        environment.push_back("TMPDIR=" + user_.Path());
        environment.push_back("LANG=C.UTF-8");
        environment.push_back("TALVANE_LAUNCH_RECORD=" + record_.string());
        return environment;
    }

    std::unique_ptr<UpdaterProcess> Start(bool display = false) {
        auto process = std::make_unique<UpdaterProcess>(
            std::vector<std::string>{"packageVersion=4.2.0", "skinVersion=7", "log=1"}, Environment(display),
            scratch_.Path());
        EXPECT_TRUE(process->Started());
        return process;
    }

    // Work-log lines (of every run so far) that contain `text`.
    int LogLinesWith(const std::string& text) const {
        int count = 0;
        if (!fs::is_directory(dataRoot_ / "logs")) {
            return 0;
        }
        for (const auto& entry : fs::directory_iterator(dataRoot_ / "logs")) {
            std::istringstream lines(test::ReadWholeFile(entry.path()));
            for (std::string line; std::getline(lines, line);) {
                count += line.find(text) != std::string::npos ? 1 : 0;
            }
        }
        return count;
    }

    std::uint64_t NodeBytes() const {
        std::uint64_t bytes = 0;
        for (std::size_t node = 0; node < server_->NodeCount(); ++node) {
            for (const cdn::CdnRequest& request : server_->Requests(cdn::CdnEndpoint::Node(node))) {
                if (request.answeredStatus == 206) {
                    const std::size_t dash = request.range.find('-');
                    const std::size_t equals = request.range.find('=');
                    bytes += std::stoull(request.range.substr(dash + 1)) -
                             std::stoull(request.range.substr(equals + 1, dash - equals - 1)) + 1;
                }
            }
        }
        return bytes;
    }

    // How the downloader package's run file was started, and the shortcut.
    void ExpectLaunchedWithTheDeploymentsArgumentsAndAShortcut() const {
        std::vector<std::string> lines;
        std::istringstream record(test::ReadWholeFile(record_));
        for (std::string line; std::getline(record, line);) {
            lines.push_back(line);
        }
        const std::vector<std::string> expected = {
            (dataRoot_ / "bin").string(),
            "/id", context_.partnerId,
            "/package", LocalizedValue(context_.packageId, language_),
            "/name", LocalizedValue(context_.productName, language_),
            "/folder", LocalizedValue(context_.productFolder, language_),
            "/locale", language_,
            "/version", "4.2.0",
            "/skin", skinPackage_ + "/skin/main.skin",
            "/log", "1",
            "SigBlk:\t0000000000000000"};
        EXPECT_THAT(lines, ElementsAreArray(expected));
        const fs::path shortcut =
            dataRoot_ / "shortcuts" / (LocalizedValue(context_.packageId, language_) + ".desktop");
        EXPECT_THAT(test::ReadWholeFile(shortcut), HasSubstr("\nExec=" TALVANE_UPDATER_PATH "\n"));
    }

    const UpdaterContext context_{&CompiledDeployment(), "sub", {"updater"}};
    test::TemporaryFolder root_;
    test::TemporaryFolder downloaderInput_;
    test::TemporaryFolder skinInput_;
    test::TemporaryFolder user_;
    test::TemporaryFolder scratch_;
    const fs::path record_ = fs::path(scratch_.Path()) / "launched.txt";
    std::unique_ptr<cdn::CdnServer> server_;
    std::string language_;
    std::string skinPackage_;
    fs::path dataRoot_;
    std::uint64_t packageBytes_ = 0;
};

TEST_F(UpdaterDelivery, TheTerminalViewDownloadsBothPackagesLaunchesTheDownloaderAndWritesTheShortcut) {
    auto updater = Start();
    const Outcome outcome = updater->Wait(120s);

    EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
    EXPECT_THAT(outcome.out, HasSubstr("Launching " + ShownProductName() + " Downloader")) << outcome.err;
    ExpectLaunchedWithTheDeploymentsArgumentsAndAShortcut();
    EXPECT_EQ(test::ReadWholeFile(dataRoot_ / skinPackage_ / "skin/main.skin"),
              test::ReadWholeFile(fs::path(skinInput_.Path()) / "skin/main.skin"));
}


TEST_F(UpdaterDelivery, TheGtkViewEndsOnASignalAndDownloadsBothPackagesLaunchesTheDownloaderAndWritesTheShortcut) {
#ifndef TALVANE_HAVE_XTEST
    GTEST_SKIP() << "built without the X test extension";
#else
    std::string why;
    const std::unique_ptr<test::XTestKeyboard> keyboard = test::XTestKeyboard::Open(&why);
    if (!keyboard) {
        GTEST_SKIP() << why << " (the _xvfb run has a display)";
    }
    const std::string title = ShownProductName() + " Downloader";
    {
        // Logout while the window waits for the language: the GTK view ends
        // like the terminal view, with 128 + SIGTERM.
        auto ended = Start(true);
        EXPECT_TRUE(test::PollUntil([&] { return keyboard->HasWindow(title); }, 60s, 50ms));
        ended->Signal(SIGTERM);
        const Outcome outcome = ended->Wait(60s);
        EXPECT_EQ(outcome.exitCode, 128 + SIGTERM) << outcome.err;
    }
    auto updater = Start(true);
    // The user confirms the preselected language with Enter; until the
    // manifest host hears from the updater, the key is pressed again.
    EXPECT_TRUE(test::PollUntil([&] { return keyboard->HasWindow(title); }, 60s, 50ms))
        << "no window titled " << title;
    const bool started = test::PollUntil(
        [&] {
            keyboard->PressEnterIn(title);
            return test::PollUntil([&] { return !server_->Requests(cdn::CdnEndpoint::Manifest()).empty(); },
                                   1s, 20ms);
        },
        30s, 1ms);
    EXPECT_TRUE(started) << "the language was not confirmed";
    const Outcome outcome = updater->Wait(120s);

    EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
    ExpectLaunchedWithTheDeploymentsArgumentsAndAShortcut();
#endif
}

// SIGINT, SIGTERM and SIGHUP in the middle of the download end the updater as
// closing its window does: transfers suspended (the work log and the
// analytics host hear of it), exit status 128 + the signal. The next run
// reuses what was downloaded, fetching again at most the chunks in flight.
TEST_F(UpdaterDelivery, ASignalMidDownloadSuspendsTheTransfersAndTheNextRunFetchesOnlyWhatIsMissing) {
    // Two transfers with 16 request slots each.
    constexpr std::uint64_t kChunksInFlight = 32;
    for (std::size_t node = 0; node < server_->NodeCount(); ++node) {
        server_->SetFault(cdn::CdnEndpoint::Node(node), cdn::CdnFault::SlowBody(4096, 20ms));
    }
    int interruptions = 0;
    for (const int number : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(number));
        const std::size_t postsBefore = server_->Posts(cdn::CdnEndpoint::Events()).size();
        const int suspendsLogged = LogLinesWith("\"Suspend\"");
        const std::uint64_t servedBefore = NodeBytes();
        auto updater = Start();
        ASSERT_TRUE(test::PollUntil([&] { return NodeBytes() > servedBefore; }, 60s, 10ms))
            << updater->Wait(0ms).err;
        updater->Signal(number);
        const Outcome outcome = updater->Wait(60s);
        ++interruptions;

        EXPECT_EQ(outcome.exitCode, 128 + number) << outcome.err;
        EXPECT_FALSE(fs::exists(record_)) << "launched although interrupted";
        // The downloader package is still transferring; the small skin
        // package may be complete already (it is, from the second run on).
        int suspendsPosted = 0;
        const auto posts = server_->Posts(cdn::CdnEndpoint::Events());
        for (std::size_t i = postsBefore; i < posts.size(); ++i) {
            suspendsPosted += posts[i].body.find("numSuspends") != std::string::npos ? 1 : 0;
        }
        EXPECT_GE(suspendsPosted, 1) << "the suspension is posted before the end";
        EXPECT_EQ(LogLinesWith("\"Suspend\"") - suspendsLogged, suspendsPosted) << "and written to the work log";
    }

    server_->ClearFaults();
    auto updater = Start();
    const Outcome outcome = updater->Wait(120s);
    EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
    ExpectLaunchedWithTheDeploymentsArgumentsAndAShortcut();
    EXPECT_LE(NodeBytes(), packageBytes_ + interruptions * kChunksInFlight * kChunkSize);
}

// A proxy or a mirror that changes the downloader's manifest (one CRC-32
// here) and keeps the publisher's signature beside it: the updater tells the
// user the download could not be verified and starts nothing.
TEST_F(UpdaterDelivery, AManifestChangedOnTheWayIsNotVerifiedAndNothingIsLaunched) {
    if (*CompiledDeployment().publisherKeys == '\0') {
        GTEST_SKIP() << "the deployment names no publisher keys";
    }
    const fs::path manifest = fs::path(root_.Path()) / "manifests" / context_.downloaderPackageId / "current.xml";
    std::string text = test::ReadWholeFile(manifest);
    const std::size_t at = text.find("checksums=\"");
    ASSERT_NE(at, std::string::npos) << text;
    text[at + 11] = text[at + 11] == '0' ? '1' : '0';
    test::WriteWholeFile(manifest, text);
    ASSERT_TRUE(fs::exists(manifest.string() + ".sig"));

    auto updater = Start();
    const Outcome outcome = updater->Wait(120s);

    EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
    const TalvaneUpdaterMessages messages;
    EXPECT_THAT(outcome.err, HasSubstr(messages.GetErrorMessage(TransferError::AuthenticityError)));
    EXPECT_THAT(outcome.out, Not(HasSubstr("Launching")));
    EXPECT_FALSE(fs::exists(record_)) << "launched although unverified";
    EXPECT_FALSE(fs::exists(dataRoot_ / "bin" / "downloader.sh")) << "nothing is written for a refused manifest";
    EXPECT_FALSE(fs::exists(dataRoot_ / "shortcuts"));
    // The publisher hears of it like of any other failure.
    int posted = 0;
    for (const cdn::CdnRequest& post : server_->Posts(cdn::CdnEndpoint::Events())) {
        posted += post.body.find("\"error|11|") != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(posted, 1);
}

}  // namespace
}  // namespace tvl
