#pragma once

// A package delivery on loopback for the work-tree tests: a local CDN with
// three nodes, packages built from generated files, the engine components a
// transfer needs on real thread pools, and a driver that takes a
// StandardTransfer through initialization and transfer. Every wait is bounded.

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/events/JsonWorkLogManager.h"
#include "engine/file/PosixSharedFileFactory.h"
#include "engine/http/CurlHttpRequestFactory.h"
#include "engine/http/HttpProxy.h"
#include "engine/http/HttpProxyFactory.h"
#include "engine/http/HttpSession.h"
#include "engine/manifest/ManifestFactories.h"
#include "engine/optimizer/ProportionalGamblingTransferOptimizer.h"
#include "engine/service/StandardTransfer.h"
#include "engine/service/TransferBehavior.h"
#include "engine/service/TransferParams.h"
#include "engine/service/TransferState.h"
#include "engine/service/TransferStatus.h"
#include "engine/work/AsioWorkManager.h"
#include "engine/workflow/TransferWorkflowFactories.h"
#include "tests/support/PollUntil.h"
#include "tests/support/TemporaryFolder.h"
#include "tools/talvane-cdn/CdnServer.h"
#include "tools/talvane-pack/PackageBuilder.h"

namespace tvl::test {

namespace fs = std::filesystem;

constexpr std::chrono::seconds kWorkflowWait{30};

inline bool WaitUntil(const std::function<bool()>& predicate, std::chrono::milliseconds limit = kWorkflowWait) {
    return PollUntil(predicate, limit, std::chrono::milliseconds(1));
}

inline std::string ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline void WriteBytes(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// Reproducible bytes that differ from file to file.
inline std::string GeneratedBytes(std::size_t size, std::uint32_t seed) {
    std::string bytes(size, '\0');
    std::uint32_t state = seed * 2654435761u + 1;
    for (auto& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}

inline bool AnyExecuteBit(const fs::path& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && (info.st_mode & 0111) != 0;
}

class DirectProxyFactory : public HttpProxyFactory {
  public:
    std::shared_ptr<HttpProxy> Create() override { return std::make_shared<EmptyHttpProxy>(); }
};

inline TransferState StateOf(const TransferStatus& status) {
    return static_cast<TransferState>(status.state);
}

constexpr std::uint32_t kChunkSize = 1024;

// The content server, the engine components and the packages of one test.
class Delivery {
  public:
    explicit Delivery(std::size_t nodeCount = 3)
        : requests_(&proxies_), work_(4, false), housekeeping_(1, true) {
        cdn::CdnServerOptions options;
        options.contentRoot = content_.Path();
        options.nodeCount = nodeCount;
        options.countryCode = "US";
        server_ = std::make_unique<cdn::CdnServer>(options);

        TransferSettings& settings = behavior_.settings;
        settings.manifestHost = server_->ManifestHost();
        settings.geolocationUrl = server_->GeolocationUrl();
        settings.manifestRetries = 1;
        settings.geolocationRetries = 1;
        settings.chunkRetries = 1;
        settings.chunkRequestRetries = 1;
        settings.maxRunningWorks = 4;
        settings.parallelWorks = 4;
        settings.minConnectTimeoutSeconds = 2;
        settings.maxConnectTimeoutSeconds = 4;
        settings.minTimeoutSeconds = 5;
        settings.rateWindowSeconds = 1;
        packages_ = std::make_unique<XmlHttpPackageManifestFactory>(settings.manifestHost, &requests_, 2, 5);
        nodeLists_ =
            std::make_unique<XmlHttpNodeListManifestFactory>(settings.manifestHost, &requests_, 2, 5);
        geolocations_ =
            std::make_unique<JsonHttpGeolocationManifestFactory>(settings.geolocationUrl, &requests_, 2, 5);
        optimizer_ = std::make_unique<ProportionalGamblingTransferOptimizer>(settings, 7u);

        behavior_.httpSessionFactory = &sessions_;
        behavior_.httpRequestFactory = &requests_;
        behavior_.sharedFileFactory = &files_;
        behavior_.packageManifestFactory = packages_.get();
        behavior_.nodeListManifestFactory = nodeLists_.get();
        behavior_.geolocationManifestFactory = geolocations_.get();
        behavior_.transferOptimizer = optimizer_.get();
        behavior_.workManager = &work_;
        behavior_.housekeepingWorkManager = &housekeeping_;
    }

    // Generated source files, packed as version `version` of "pkg" for
    // "partner" and served by every node.
    struct Source {
        std::vector<std::pair<std::string, std::string>> files;  // path, bytes
        std::string run;
        std::string policy;
        std::vector<std::string> countries;
        bool inactive = false;
        std::uint32_t chunkSize = kChunkSize;
    };

    static Source StandardSource() {
        Source source;
        source.run = "bin/launcher";
        source.files.emplace_back("bin/launcher", GeneratedBytes(10 * kChunkSize + 17, 1));
        source.files.emplace_back("tools/setup.exe", GeneratedBytes(3 * kChunkSize, 2));
        source.files.emplace_back("data/big.bin", GeneratedBytes(40 * kChunkSize + 333, 3));
        source.files.emplace_back("data/empty.dat", std::string());
        source.files.emplace_back("data/deep/empty-too", std::string());
        for (std::uint32_t i = 0; i < 12; ++i) {
            source.files.emplace_back("data/small/f" + std::to_string(i) + ".txt",
                                      GeneratedBytes(1 + i * 397, 100 + i));
        }
        return source;
    }

    void Publish(const Source& source, const std::string& version = "1", bool current = true) {
        const std::string input = workFolder_.Join("source-" + version);
        fs::remove_all(input);
        fs::create_directories(input);
        for (const auto& [path, bytes] : source.files) {
            WriteBytes(fs::path(input) / path, bytes);
        }
        pack::PackageOptions options;
        options.input = input;
        options.output = content_.Path();
        options.partnerId = "partner";
        options.packageId = "pkg";
        options.versionId = version;
        options.name = "Package";
        options.run = source.run;
        options.chunkSize = source.chunkSize;
        options.policy = source.policy;
        options.countries = source.countries;
        options.inactive = source.inactive;
        options.current = current;
        for (std::size_t i = 0; i < server_->NodeCount(); ++i) {
            options.nodes.push_back(server_->Authority(cdn::CdnEndpoint::Node(i)));
        }
        options.threads = 1;
        pack::BuildPackage(options);
        published_ = source;
    }

    TransferParams Params(const std::string& version = "?") const {
        TransferParams params;
        params.transferId = NewTransferId();
        params.partnerId = "partner";
        params.packageId = "pkg";
        params.versionId = version;
        return params;
    }

    std::shared_ptr<StandardTransfer> NewDownload(const std::string& version = "?") {
        return StandardTransfer::Create<StandardTransfer>(Params(version), behavior_, &download_);
    }
    std::shared_ptr<StandardTransfer> NewVerification() {
        TransferParams params = Params();
        params.transferType = 1;
        return StandardTransfer::Create<StandardTransfer>(params, behavior_, &verify_);
    }

    // Waits until the transfer is Initialized or has an error.
    static TransferStatus Initialize(StandardTransfer& transfer) {
        transfer.Initialize();
        TransferStatus status;
        WaitUntil([&] {
            status = transfer.GetStatus();
            return StateOf(status) == TransferState::Initialized || status.error != 0;
        });
        return status;
    }

    // Waits until the transfer is Completed or has an error.
    static TransferStatus WaitForEnd(StandardTransfer& transfer) {
        TransferStatus status;
        WaitUntil([&] {
            status = transfer.GetStatus();
            return StateOf(status) == TransferState::Completed || status.error != 0;
        });
        return status;
    }

    TransferStatus Run(StandardTransfer& transfer, const std::string& destination) {
        const TransferStatus initialized = Initialize(transfer);
        if (initialized.error != 0) {
            return initialized;
        }
        transfer.Start(destination);
        return WaitForEnd(transfer);
    }

    // Chunk requests the nodes have received so far.
    std::size_t NodeRequests() const {
        std::size_t count = 0;
        for (std::size_t i = 0; i < server_->NodeCount(); ++i) {
            count += server_->Requests(cdn::CdnEndpoint::Node(i)).size();
        }
        return count;
    }

    void SetFaultOnEveryNode(const cdn::CdnFault& fault) {
        for (std::size_t i = 0; i < server_->NodeCount(); ++i) {
            server_->SetFault(cdn::CdnEndpoint::Node(i), fault);
        }
    }

    // Empty when every published file is in `destination` byte for byte;
    // otherwise the first path that differs.
    std::string FirstDifference(const std::string& destination) const {
        for (const auto& [path, bytes] : published_.files) {
            const fs::path target = fs::path(destination) / path;
            if (!fs::is_regular_file(target) || ReadBytes(target) != bytes) {
                return path;
            }
        }
        return std::string();
    }

    std::uint64_t PublishedBytes() const {
        std::uint64_t total = 0;
        for (const auto& file : published_.files) {
            total += file.second.size();
        }
        return total;
    }

    // Works report to a work log that keeps every line, in `folder`.
    void EnableWorkLog(const std::string& folder) {
        log_ = std::make_unique<JsonWorkLogManager>(-1, folder, &files_);
        behavior_.logManager = log_.get();
    }

    cdn::CdnServer& Server() { return *server_; }
    TransferBehavior& Behavior() { return behavior_; }
    const Source& Published() const { return published_; }
    std::string Destination(const std::string& name = "dest") const { return workFolder_.Join(name); }

  private:
    TemporaryFolder content_;
    TemporaryFolder workFolder_;
    std::unique_ptr<cdn::CdnServer> server_;
    DirectProxyFactory proxies_;
    CurlHttpRequestFactory requests_;
    RoundRobinHttpSessionFactory sessions_;
    PosixSharedFileFactory files_;
    std::unique_ptr<XmlHttpPackageManifestFactory> packages_;
    std::unique_ptr<XmlHttpNodeListManifestFactory> nodeLists_;
    std::unique_ptr<JsonHttpGeolocationManifestFactory> geolocations_;
    std::unique_ptr<ProportionalGamblingTransferOptimizer> optimizer_;
    // Outlives the work managers, whose works report to it.
    std::unique_ptr<JsonWorkLogManager> log_;
    TransferPackageWorkflowFactory download_;
    VerifyTransferWorkflowFactory verify_;
    AsioWorkManager work_;
    AsioWorkManager housekeeping_;
    TransferBehavior behavior_;
    Source published_;
};

}  // namespace tvl::test
