#include "tests/support/NginxServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace tvl::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// An ephemeral port the kernel just handed out. nginx binds it a moment later;
// the start is retried with new ports in the rare case another process took it.
std::uint16_t FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        throw std::runtime_error("nginx: no socket for a free port");
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(fd);
        throw std::runtime_error("nginx: cannot pick a free port");
    }
    close(fd);
    return ntohs(address.sin_port);
}

bool Answers(std::uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    close(fd);
    return connected;
}

bool Exited(pid_t pid) {
    int status = 0;
    return waitpid(pid, &status, WNOHANG) == pid;
}

}  // namespace

std::string NginxServer::Executable() {
    for (const char* candidate : {"/usr/sbin/nginx", "/usr/local/sbin/nginx", "/usr/local/nginx/sbin/nginx"}) {
        if (access(candidate, X_OK) == 0) {
            return candidate;
        }
    }
    return {};
}

NginxServer::NginxServer(const std::string& root, std::size_t listeners, const NginxTls& tls) {
    if (!Available()) {
        throw std::runtime_error("nginx is not installed");
    }
    if (listeners == 0) {
        throw std::invalid_argument("nginx: at least one listener");
    }
    std::string pattern = (fs::temp_directory_path() / "talvane-nginx-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("nginx: cannot create its folder");
    }
    folder_ = pattern;
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (Start(fs::absolute(root).string(), listeners, tls)) {
            return;
        }
        Stop();
    }
    std::ifstream log(fs::path(folder_) / "error.log");
    const std::string errors((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
    throw std::runtime_error("nginx did not start: " + errors);
}

NginxServer::~NginxServer() {
    Stop();
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
}

std::string NginxServer::Authority(std::size_t index) const {
    return "127.0.0.1:" + std::to_string(Port(index));
}

bool NginxServer::Start(const std::string& root, std::size_t listeners, const NginxTls& tls) {
    ports_.clear();
    for (std::size_t i = 0; i < listeners; ++i) {
        ports_.push_back(FreePort());
    }
    const fs::path folder(folder_);
    {
        // master_process off: one process to start, watch and kill; as root it
        // then never switches to another user, so the test's files stay readable.
        std::ofstream conf(folder / "nginx.conf");
        conf << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
             << "pid " << (folder / "nginx.pid").string() << ";\n"
             << "error_log " << (folder / "error.log").string() << " warn;\n"
             << "events { worker_connections 256; }\n"
             << "http {\n"
             << "  access_log off;\n  sendfile on;\n  keepalive_requests 100000;\n"
             << "  default_type application/octet-stream;\n";
        for (const char* temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"}) {
            conf << "  " << temp << "_temp_path " << (folder / temp).string() << ";\n";
        }
        conf << "  server {\n";
        const bool https = !tls.certificate.empty();
        for (const std::uint16_t port : ports_) {
            conf << "    listen 127.0.0.1:" << port << (https ? " ssl" : "") << ";\n";
        }
        if (https) {
            conf << "    ssl_certificate " << fs::absolute(tls.certificate).string() << ";\n"
                 << "    ssl_certificate_key " << fs::absolute(tls.key).string() << ";\n";
        }
        conf << "    root " << root << ";\n  }\n}\n";
    }
    const std::string executable = Executable();
    const std::string prefix = folder_ + "/";
    const std::string conf = (folder / "nginx.conf").string();
    const std::string errorLog = (folder / "error.log").string();
    // -e: the startup log too, which otherwise goes to a system path a test may not write.
    std::vector<char*> argv{const_cast<char*>(executable.c_str()), const_cast<char*>("-e"),
                            const_cast<char*>(errorLog.c_str()), const_cast<char*>("-p"),
                            const_cast<char*>(prefix.c_str()), const_cast<char*>("-c"),
                            const_cast<char*>(conf.c_str()), nullptr};
    // Only the standard streams go to nginx: a test's other sockets (a CDN
    // port it means to refuse, say) would otherwise stay open in nginx.
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) {
        return false;
    }
    const bool spawned = posix_spawn_file_actions_addclosefrom_np(&actions, 3) == 0 &&
                         posix_spawn(&pid_, executable.c_str(), &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    if (!spawned) {
        pid_ = -1;
        return false;
    }
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
        if (Exited(pid_)) {
            pid_ = -1;
            return false;
        }
        bool all = true;
        for (const std::uint16_t port : ports_) {
            all = all && Answers(port);
        }
        if (all) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

void NginxServer::Stop() {
    if (pid_ <= 0) {
        return;
    }
    kill(pid_, SIGTERM);
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < deadline) {
        if (Exited(pid_)) {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
}

}  // namespace tvl::test
