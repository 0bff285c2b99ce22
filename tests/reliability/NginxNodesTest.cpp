// Passes with a real static HTTP server. nginx as the download node, beside
// a node that refuses every connection, with the manifest host the in-process
// CDN; and nginx over https as both manifest host and node, with certificates
// made for the test by a CA of its own.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "tests/reliability/ReliabilityHarness.h"
#include "tests/support/NginxServer.h"

namespace tvl::reliability {
namespace {

using cdn::CdnEndpoint;
using cdn::CdnFault;

namespace fs = std::filesystem;

std::string OpensslExecutable() {
    for (const char* candidate : {"/usr/bin/openssl", "/usr/local/bin/openssl"}) {
        if (access(candidate, X_OK) == 0) {
            return candidate;
        }
    }
    return {};
}

// Runs openssl in `folder` with its output in openssl.log there; throws with
// that output when it fails or takes more than a few seconds.
void RunOpenssl(const std::string& folder, std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), OpensslExecutable());
    std::vector<char*> argv;
    for (auto& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    const std::string log = (fs::path(folder) / "openssl.log").string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    pid_t pid = -1;
    const char* const environment[] = {nullptr};  // no OPENSSL_CONF or the like from the developer
    const int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), const_cast<char**>(environment));
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        throw std::runtime_error("cannot start openssl");
    }
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (waitpid(pid, &status, WNOHANG) != pid) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            throw std::runtime_error("openssl did not finish");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error("openssl " + arguments.at(1) + " failed: " + ReadWholeFile(log));
    }
}

// P-256 keys: quick to make, and what a current server would use.
std::vector<std::string> NewKey(const std::string& keyFile) {
    return {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout", keyFile};
}

// A CA of the test's own: `stem`.pem and `stem`.key in `folder`. Configuration
// files of our own keep the system's openssl.cnf from adding anything.
void MakeCa(const std::string& folder, const std::string& stem) {
    WriteWholeFile(fs::path(folder) / (stem + ".cnf"),
                   "[req]\nprompt = no\ndistinguished_name = dn\nx509_extensions = ca\n"
                   "[dn]\nCN = Talvane test CA " + stem + "\n"
                   "[ca]\nbasicConstraints = critical, CA:TRUE\nkeyUsage = critical, keyCertSign, cRLSign\n"
                   "subjectKeyIdentifier = hash\n");
    std::vector<std::string> arguments = {"req", "-x509", "-config", stem + ".cnf", "-days", "2", "-out",
                                          stem + ".pem"};
    const auto key = NewKey(stem + ".key");
    arguments.insert(arguments.end(), key.begin(), key.end());
    RunOpenssl(folder, arguments);
}

// A server certificate `stem`.pem with key `stem`.key, issued by the CA `ca`
// for the names in `subjectAltName` (an openssl list such as "IP:127.0.0.1").
test::NginxTls MakeServerCertificate(const std::string& folder, const std::string& stem, const std::string& ca,
                                    const std::string& subjectAltName, int serial) {
    WriteWholeFile(fs::path(folder) / (stem + ".cnf"),
                   "[req]\nprompt = no\ndistinguished_name = dn\n[dn]\nCN = " + stem + "\n");
    WriteWholeFile(fs::path(folder) / (stem + ".ext"),
                   "basicConstraints = CA:FALSE\nkeyUsage = critical, digitalSignature\n"
                   "extendedKeyUsage = serverAuth\nsubjectAltName = " + subjectAltName + "\n");
    std::vector<std::string> request = {"req", "-new", "-config", stem + ".cnf", "-out", stem + ".csr"};
    const auto key = NewKey(stem + ".key");
    request.insert(request.end(), key.begin(), key.end());
    RunOpenssl(folder, request);
    RunOpenssl(folder, {"x509", "-req", "-in", stem + ".csr", "-CA", ca + ".pem", "-CAkey", ca + ".key",
                        "-set_serial", std::to_string(serial), "-days", "2", "-extfile", stem + ".ext", "-out",
                        stem + ".pem"});
    return {(fs::path(folder) / (stem + ".pem")).string(), (fs::path(folder) / (stem + ".key")).string()};
}


class NginxNodes : public ReliabilityTest {};

TEST_F(NginxNodes, AnNginxNodeBesideARefusingNodeDeliversThePackage) {
    result_.fault = "nodes: nginx and a node refusing connections";
    if (!test::NginxServer::Available()) {
        result_.outcome = "skipped: nginx is not installed";
        GTEST_SKIP() << "nginx is not installed";
    }
    // Refused before nginx starts: nginx inherits the test's open sockets, and
    // a copy of the node's listening socket in nginx would keep accepting
    // connections that nobody answers.
    server_->SetFault(CdnEndpoint::Node(1), CdnFault::Refused());
    test::NginxServer nginx(root_.Path());
    Pack({nginx.Authority(0), server_->Authority(CdnEndpoint::Node(1))});

    const auto outcome = RunToEnd(NewTransferArguments(3));
    EXPECT_EQ(outcome.signal, 0);
    EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
    ExpectDestinationMatchesSource();
    ExpectNothingWrittenOutsideDestination();
    EXPECT_TRUE(server_->Requests(CdnEndpoint::Node(1)).empty());
    EXPECT_TRUE(server_->Requests(CdnEndpoint::Node(0)).empty()) << "the CDN's own nodes are not in the list";

    // nginx keeps no record for us; the engine's count of received bytes stands in.
    const std::string key = "\"bytesDownloaded\":";
    const std::size_t at = outcome.out.find(key);
    ASSERT_NE(at, std::string::npos) << outcome.out;
    const std::uint64_t received = std::strtoull(outcome.out.c_str() + at + key.size(), nullptr, 10);
    // A chunk of zeros (the one-byte tail of plus-one.bin, now and then) is
    // already right in a new file and is never asked for.
    EXPECT_EQ(received, TreeBytes(source_) - ZeroChunkBytes(source_, CurrentMode().chunkSize))
        << "each chunk came once from nginx";
    Record(result_.fault, OutcomeText(outcome), true);
    result_.bytesServed = received;
}


// nginx over https with certificates from a CA made for the test: the CA the
// engine trusts (through SSL_CERT_FILE or SSL_CERT_DIR), a second CA it does
// not, a certificate for 127.0.0.1 and one for another name.
class NginxHttps : public ReliabilityTest {
protected:
    void SetUp() override {
        ReliabilityTest::SetUp();
        if (!test::NginxServer::Available() || OpensslExecutable().empty()) {
            return;
        }
        const std::string folder = certificates_.Path();
        MakeCa(folder, "ca");
        MakeCa(folder, "other-ca");
        loopback_ = MakeServerCertificate(folder, "loopback", "ca", "IP:127.0.0.1, DNS:localhost", 2);
        otherName_ = MakeServerCertificate(folder, "other-name", "ca", "DNS:downloads.example.net", 3);
        // The same CA as a hashed folder, the form SSL_CERT_DIR takes.
        fs::create_directories(certificates_.Join("dir"));
        fs::copy_file(certificates_.Join("ca.pem"), certificates_.Join("dir/ca.pem"));
        RunOpenssl(folder, {"rehash", "dir"});
        // The developer's own trust store must not decide these cases.
        environment_.Unset("SSL_CERT_FILE");
        environment_.Unset("SSL_CERT_DIR");
    }

    // Skips unless nginx and openssl are both there.
    bool Skipped() {
        if (!test::NginxServer::Available()) {
            result_.outcome = "skipped: nginx is not installed";
            return true;
        }
        if (OpensslExecutable().empty()) {
            result_.outcome = "skipped: openssl is not installed";
            return true;
        }
        return false;
    }

    // The arguments of a new transfer with `manifestHost` in place of the CDN's.
    std::vector<std::string> ArgumentsWithManifestHost(const std::string& manifestHost, unsigned retries) const {
        std::vector<std::string> arguments = NewTransferArguments(retries);
        const auto flag = std::find(arguments.begin(), arguments.end(), "--manifest-host");
        if (flag == arguments.end() || flag + 1 == arguments.end()) {
            throw std::logic_error("the base arguments name no manifest host");
        }
        *(flag + 1) = manifestHost;
        return arguments;
    }

    void ExpectRefusedAsAConnectionError(const TalvaneGetProcess::Outcome& outcome, const std::string& libraryText) {
        EXPECT_TRUE(outcome.finished);
        EXPECT_EQ(outcome.signal, 0);
        EXPECT_EQ(outcome.exitCode, 1) << outcome.err;
        EXPECT_NE(outcome.err.find(ErrorLine(2)), std::string::npos) << outcome.err;
        EXPECT_GT(BytesLost(source_, destination_), 0u) << "no file may be complete";
        ExpectNothingWrittenOutsideDestination();
        // What the library said about the certificate reaches the work log.
        const std::string logs = test::ReadWorkLogs(user_.Path());
        EXPECT_NE(logs.find(libraryText), std::string::npos) << logs.substr(0, 4000);
    }

    test::TemporaryFolder certificates_;
    test::NginxTls loopback_;
    test::NginxTls otherName_;
};

TEST_F(NginxHttps, ManifestHostAndNodeOverHttpsDeliverThePackageWithTheTestCa) {
    result_.fault = "manifest host and node: nginx over https, test CA through SSL_CERT_FILE, then SSL_CERT_DIR";
    if (Skipped()) {
        GTEST_SKIP() << result_.outcome;
    }
    test::NginxServer nginx(root_.Path(), 1, loopback_);
    const std::string host = "https://" + nginx.Authority(0);
    Pack({host});

    environment_.Set("SSL_CERT_FILE", certificates_.Join("ca.pem"));
    const auto outcome = RunToEnd(ArgumentsWithManifestHost(host, 3));
    EXPECT_EQ(outcome.signal, 0);
    EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
    ExpectDestinationMatchesSource();
    ExpectNothingWrittenOutsideDestination();
    EXPECT_TRUE(server_->Requests(CdnEndpoint::Manifest()).empty()) << "the CDN is not the manifest host here";
    EXPECT_TRUE(server_->Requests(CdnEndpoint::Node(0)).empty());

    // Again into an emptied destination, the CA now found in a hashed folder.
    fs::remove_all(destination_);
    fs::create_directories(destination_);
    environment_.Unset("SSL_CERT_FILE");
    environment_.Set("SSL_CERT_DIR", certificates_.Join("dir"));
    const auto again = RunToEnd(ArgumentsWithManifestHost(host, 3));
    EXPECT_EQ(again.exitCode, 0) << again.err;
    ExpectDestinationMatchesSource();
    ExpectNothingWrittenOutsideDestination();
    Record(result_.fault, OutcomeText(outcome) + ", then " + OutcomeText(again), true);
}

TEST_F(NginxHttps, AServerCertifiedByAnUnknownCaIsRefused) {
    result_.fault = "manifest host over https: another CA in SSL_CERT_FILE, then the system's store";
    if (Skipped()) {
        GTEST_SKIP() << result_.outcome;
    }
    test::NginxServer nginx(root_.Path(), 1, loopback_);
    const std::string host = "https://" + nginx.Authority(0);
    Pack({host});

    environment_.Set("SSL_CERT_FILE", certificates_.Join("other-ca.pem"));
    const auto otherCa = RunToEnd(ArgumentsWithManifestHost(host, 1));
    ExpectRefusedAsAConnectionError(otherCa, "SSL certificate problem");
    ExpectDestinationEmpty();

    environment_.Unset("SSL_CERT_FILE");
    const auto system = RunToEnd(ArgumentsWithManifestHost(host, 1));
    ExpectRefusedAsAConnectionError(system, "SSL certificate problem");
    ExpectDestinationEmpty();
    Record(result_.fault, OutcomeText(otherCa) + ", then " + OutcomeText(system), false);
}

TEST_F(NginxHttps, ACertificateForAnotherNameIsRefusedForTheNodeAndForTheManifestHost) {
    result_.fault = "https node, then https manifest host, with a certificate for another name";
    if (Skipped()) {
        GTEST_SKIP() << result_.outcome;
    }
    environment_.Set("SSL_CERT_FILE", certificates_.Join("ca.pem"));
    test::NginxServer trusted(root_.Path(), 1, loopback_);
    test::NginxServer misnamed(root_.Path(), 1, otherName_);
    const std::string trustedHost = "https://" + trusted.Authority(0);
    const std::string misnamedHost = "https://" + misnamed.Authority(0);
    // The manifest and node list come from the trusted server; every chunk
    // would come from the misnamed one.
    Pack({misnamedHost});

    const std::string mismatch = "no alternative certificate subject name matches";
    const auto node = RunToEnd(ArgumentsWithManifestHost(trustedHost, 1));
    ExpectRefusedAsAConnectionError(node, mismatch);

    fs::remove_all(destination_);
    fs::create_directories(destination_);
    const auto manifestHost = RunToEnd(ArgumentsWithManifestHost(misnamedHost, 1));
    ExpectRefusedAsAConnectionError(manifestHost, mismatch);
    ExpectDestinationEmpty();
    Record(result_.fault, OutcomeText(node) + ", then " + OutcomeText(manifestHost), false);
}

}  // namespace
}  // namespace tvl::reliability
