#pragma once

// A transfer reduced to what works and events read: parameters, behavior,
// package, node list and progress. Callbacks are absent; registered files
// are recorded. Tests set the public members directly.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/service/TransferBehavior.h"
#include "engine/service/TransferParams.h"
#include "engine/service/TransferProgressUpdater.h"
#include "engine/service/TransferWorkInterface.h"

namespace tvl::test {

class CountingProgress : public TransferProgressUpdater {
  public:
    void AddDone(std::uint64_t bytes) override { done += bytes; }
    void SubtractDone(std::uint64_t bytes) override { done -= bytes; }
    void AddVerified(std::uint64_t bytes) override { verified += bytes; }
    void AddDownloaded(std::uint64_t bytes) override { downloaded += bytes; }

    std::atomic<std::uint64_t> done{0};
    std::atomic<std::uint64_t> verified{0};
    std::atomic<std::uint64_t> downloaded{0};
};

class FakeTransfer : public TransferWorkInterface {
  public:
    TransferParams CopyParams() override { return params; }
    const TransferParams& GetParams() override { return params; }
    const TransferBehavior& GetBehavior() override { return behavior; }
    std::shared_ptr<PackageManifest> GetPackage() override { return package; }
    std::shared_ptr<NodeListManifest> GetNodeList() override { return nodeList; }
    std::shared_ptr<GeolocationManifest> GetGeolocation() override { return nullptr; }
    std::shared_ptr<TransferProgressUpdater> GetProgressUpdater() override { return progress; }
    std::shared_ptr<HttpSession> GetHttpSession() override { return nullptr; }
    WorkCompleteCallback* GetWorkCompleteCallback() override { return nullptr; }
    WorkCompleteCallback* GetPackageAcquireCallback() override { return nullptr; }
    WorkCompleteCallback* GetNodeListAcquireCallback() override { return nullptr; }
    WorkCompleteCallback* GetGeolocationCallback() override { return nullptr; }
    WorkCompleteCallback* GetInitializeCallback() override { return nullptr; }
    WorkflowRetryableErrorCallback* GetRetryableErrorCallback() override { return nullptr; }
    void RegisterFile(const std::string& path) override { registered.push_back(path); }

    TransferParams params;
    TransferBehavior behavior;
    std::shared_ptr<PackageManifest> package;
    std::shared_ptr<NodeListManifest> nodeList;
    std::shared_ptr<CountingProgress> progress = std::make_shared<CountingProgress>();
    std::vector<std::string> registered;
};

}  // namespace tvl::test
