#pragma once

// nginx serving a folder on loopback, for tests that check the engine against
// a real static HTTP server (byte ranges, keep-alive, sendfile) rather than
// our own test CDN. Runs in the foreground as a child process with its own
// configuration, pid, log and temporary folders; stopped and reaped when the
// object goes away.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tvl::test {

// A certificate chain and its private key, PEM files, for serving https.
struct NginxTls {
    std::string certificate;
    std::string key;
};

class NginxServer {
public:
    // The nginx executable, empty when it is not installed.
    static std::string Executable();
    static bool Available() { return !Executable().empty(); }

    // Serves `root` on `listeners` ports of 127.0.0.1, over https with `tls`
    // when it names a certificate. Throws std::runtime_error when nginx is
    // missing or does not answer within a few seconds.
    explicit NginxServer(const std::string& root, std::size_t listeners = 1, const NginxTls& tls = {});
    ~NginxServer();
    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    std::uint16_t Port(std::size_t index) const { return ports_.at(index); }
    std::string Authority(std::size_t index) const;  // "127.0.0.1:port"
    std::size_t Listeners() const { return ports_.size(); }

private:
    bool Start(const std::string& root, std::size_t listeners, const NginxTls& tls);
    void Stop();

    std::string folder_;
    std::vector<std::uint16_t> ports_;
    pid_t pid_ = -1;
};

}  // namespace tvl::test
