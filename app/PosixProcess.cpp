#include "app/PosixProcess.h"

#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <cerrno>
#include <filesystem>
#include <system_error>
#include <vector>

#include "app/CommandLineSplit.h"
#include "app/ShutdownSignals.h"

extern char** environ;

namespace tvl {
namespace {

namespace fs = std::filesystem;

class SpawnActions {
  public:
    SpawnActions() { ok_ = posix_spawn_file_actions_init(&actions_) == 0; }
    ~SpawnActions() {
        if (ok_) {
            posix_spawn_file_actions_destroy(&actions_);
        }
    }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;

    bool Ok() const { return ok_; }
    posix_spawn_file_actions_t* Get() { return &actions_; }

  private:
    posix_spawn_file_actions_t actions_;
    bool ok_;
};

// The updater blocks the shutdown signals in all its threads; the program it
// starts must not inherit that, or it could no longer be interrupted.
class SpawnAttributes {
  public:
    SpawnAttributes() {
        initialized_ = posix_spawnattr_init(&attributes_) == 0;
        ok_ = initialized_;
        if (!ok_) {
            return;
        }
        sigset_t none;
        sigset_t defaults;
        sigemptyset(&none);
        sigemptyset(&defaults);
        for (const int number : ShutdownSignals::kSignals) {
            sigaddset(&defaults, number);
        }
        ok_ = posix_spawnattr_setsigmask(&attributes_, &none) == 0 &&
              posix_spawnattr_setsigdefault(&attributes_, &defaults) == 0 &&
              posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) == 0;
    }
    ~SpawnAttributes() {
        if (initialized_) {
            posix_spawnattr_destroy(&attributes_);
        }
    }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;

    bool Ok() const { return ok_; }
    const posix_spawnattr_t* Get() const { return &attributes_; }

  private:
    posix_spawnattr_t attributes_;
    bool initialized_;
    bool ok_;
};

}  // namespace

PosixProcess::PosixProcess(std::string path) : SimpleProcess(std::move(path)) {}

bool PosixProcess::Run(bool wait, bool /*elevate*/, const std::string& arguments,
                       const std::string& workingDirectory) {
    if (Path().empty()) {
        return false;
    }
    std::error_code error;
    // The child changes directory before it executes the file, so a relative
    // path would otherwise be looked up from the new directory.
    const fs::path file = fs::absolute(Path(), error);
    if (error) {
        return false;
    }
    const std::string directory = workingDirectory.empty() ? file.parent_path().string() : workingDirectory;

    std::vector<std::string> tokens = SplitCommandLine(arguments);
    tokens.insert(tokens.begin(), file.string());
    std::vector<char*> argv;
    argv.reserve(tokens.size() + 1);
    for (std::string& token : tokens) {
        argv.push_back(token.data());
    }
    argv.push_back(nullptr);

    SpawnActions actions;
    if (!actions.Ok() || posix_spawn_file_actions_addchdir_np(actions.Get(), directory.c_str()) != 0 ||
        posix_spawn_file_actions_addclosefrom_np(actions.Get(), 3) != 0) {
        return false;
    }
    const SpawnAttributes attributes;
    pid_t pid = 0;
    if (!attributes.Ok() ||
        posix_spawn(&pid, file.c_str(), actions.Get(), attributes.Get(), argv.data(), environ) != 0) {
        return false;
    }
    if (!wait) {
        return true;
    }
    int status = 0;
    pid_t waited;
    do {
        waited = waitpid(pid, &status, 0);
    } while (waited < 0 && errno == EINTR);
    return waited == pid;
}

}  // namespace tvl
