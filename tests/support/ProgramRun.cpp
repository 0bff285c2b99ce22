#include "tests/support/ProgramRun.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>

#include "tests/support/PollUntil.h"
#include "tests/support/TemporaryFolder.h"

extern char** environ;

namespace tvl::test {
namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

ProgramOutcome RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                          std::chrono::milliseconds limit) {
    // Files rather than pipes: a child that prints more than a pipe holds
    // cannot block on a test that is not reading yet.
    const TemporaryFolder folder;
    const std::string outPath = folder.Join("stdout");
    const std::string errPath = folder.Join("stderr");
    std::vector<std::string> words = {program};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ProgramOutcome outcome;
    if (spawned != 0) {
        outcome.err = "cannot start " + program;
        return outcome;
    }
    int status = 0;
    const bool ended = PollUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, limit,
                                 std::chrono::milliseconds(10));
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    } else if (WIFEXITED(status)) {
        outcome.exitCode = WEXITSTATUS(status);
    }
    outcome.out = ReadAll(outPath);
    outcome.err = ReadAll(errPath);
    return outcome;
}

}  // namespace tvl::test
