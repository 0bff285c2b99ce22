#include "tests/tools/analytics/PostgresServer.h"

#include <libpq-fe.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <thread>
#include <vector>

#include "tests/support/PollUntil.h"

namespace tvl::test {
namespace {

namespace fs = std::filesystem;

constexpr int kPort = 5432;  // only names the socket file inside the private folder

std::string BinaryFolder() {
    std::error_code error;
    std::string best;
    for (const auto& entry : fs::directory_iterator("/usr/lib/postgresql", error)) {
        const fs::path bin = entry.path() / "bin";
        if (fs::exists(bin / "initdb") && fs::exists(bin / "postgres") && bin.string() > best) {
            best = bin.string();
        }
    }
    return best;
}

// Runs `arguments` as `user` (when running as root), in a child; returns its pid.
pid_t Spawn(const std::vector<std::string>& arguments, const struct passwd* user, const std::string& log) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (user != nullptr && (setgid(user->pw_gid) != 0 || setuid(user->pw_uid) != 0)) {
            _exit(126);
        }
        if (FILE* out = std::freopen(log.c_str(), "a", stdout)) {
            dup2(fileno(out), STDERR_FILENO);
        }
        std::vector<char*> argv;
        for (const std::string& argument : arguments) {
            argv.push_back(const_cast<char*>(argument.c_str()));
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

}  // namespace

std::string PostgresServer::Unavailable() {
    if (BinaryFolder().empty()) {
        return "the PostgreSQL server binaries (package postgresql) are not installed";
    }
    if (geteuid() == 0 && getpwnam("postgres") == nullptr) {
        return "running as root and there is no postgres user to run the server as";
    }
    return "";
}

PostgresServer::PostgresServer() {
    const std::string bin = BinaryFolder();
    const struct passwd* user = geteuid() == 0 ? getpwnam("postgres") : nullptr;
    // /tmp rather than TMPDIR: the server runs as another user, who must reach
    // the folder, and the socket path must stay short.
    std::string pattern = "/tmp/talvane-postgres-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("PostgresServer: mkdtemp failed");
    }
    folder_ = pattern;
    if (user != nullptr && chown(folder_.c_str(), user->pw_uid, user->pw_gid) != 0) {
        throw std::runtime_error("PostgresServer: cannot hand " + folder_ + " to postgres");
    }
    const std::string log = folder_ + "/log";
    const pid_t initdb = Spawn({bin + "/initdb", "-D", folder_ + "/data", "-A", "trust", "-U", "postgres",
                                "--no-sync", "-E", "UTF8", "--locale", "C"},
                               user, log);
    int status = 0;
    if (initdb < 0 || waitpid(initdb, &status, 0) != initdb || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error("PostgresServer: initdb failed, see " + log);
    }
    pid_ = Spawn({bin + "/postgres", "-D", folder_ + "/data", "-k", folder_, "-p", std::to_string(kPort), "-c",
                  "listen_addresses="},
                 user, log);
    const std::string conninfo = ConnectionString();
    if (!PollUntil([&] { return PQping(conninfo.c_str()) == PQPING_OK; }, std::chrono::seconds(30),
                   std::chrono::milliseconds(50))) {
        throw std::runtime_error("PostgresServer: the server did not come up, see " + log);
    }
}

PostgresServer::~PostgresServer() {
    if (pid_ > 0) {
        // Fast shutdown: open sessions are ended and the server exits at once.
        kill(pid_, SIGINT);
        int status = 0;
        if (!PollUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, std::chrono::seconds(20),
                       std::chrono::milliseconds(20))) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
    }
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
}

std::string PostgresServer::ConnectionString() const {
    return "host=" + folder_ + " port=" + std::to_string(kPort) + " user=postgres dbname=postgres";
}

}  // namespace tvl::test
