#pragma once

// Transfers on real workflows for the transfer tests: manifests parsed from
// text, a fake clock, a workflow factory that builds a small download-shaped
// tree of scripted works, and a transfer that records the events it raises.
// Every wait here is bounded.

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <boost/property_tree/ptree.hpp>

#include "engine/file/PosixSharedFileFactory.h"
#include "engine/http/HttpSession.h"
#include "engine/manifest/GeolocationManifest.h"
#include "engine/manifest/ManifestParsing.h"
#include "engine/manifest/NodeManifest.h"
#include "engine/manifest/StandardPackageManifest.h"
#include "engine/service/AcquisitionStatusData.h"
#include "engine/service/StandardTransfer.h"
#include "engine/service/TransferBehavior.h"
#include "engine/service/TransferProgressUpdater.h"
#include "engine/service/TransferWorkInterface.h"
#include "engine/work/AsioWorkManager.h"
#include "engine/work/ParallelWork.h"
#include "engine/work/SequentialWork.h"
#include "engine/work/SimpleWork.h"
#include "engine/work/StandardWorkflow.h"
#include "engine/work/WorkStatus.h"
#include "engine/workflow/TransferStatusData.h"
#include "engine/workflow/TransferWorkflowFactory.h"
#include "tests/support/PollUntil.h"

namespace tvl::test {

constexpr std::chrono::seconds kTransferWait{10};

inline bool WaitFor(const std::function<bool()>& predicate, std::chrono::milliseconds limit = kTransferWait) {
    return PollUntil(predicate, limit, std::chrono::milliseconds(1));
}

// Two files of 10 and 6 bytes: 16 bytes in all; "app/run.sh" is the run file.
inline std::shared_ptr<PackageManifest> ParsePackage(const std::string& partner = "partner",
                                                     const std::string& id = "pkg") {
    std::istringstream in("<package id=\"" + id + "\" name=\"Name\" partnerId=\"" + partner +
                          "\" versionId=\"7\" run=\"app/run.sh\"><files>"
                          "<file path=\"app/run.sh\" size=\"10\" chunksize=\"4\" "
                          "checksums=\"000000010000000200000003\"/>"
                          "<file path=\"data/b.bin\" size=\"6\" chunksize=\"8\" checksums=\"00000004\"/>"
                          "</files></package>");
    boost::property_tree::ptree tree;
    ParseXmlManifest(in, tree);
    auto package = std::make_shared<StandardPackageManifest>();
    package->Read(tree);
    return package;
}

inline std::shared_ptr<NodeListManifest> ParseNodeList() {
    std::istringstream in(
        "<ArrayOfNodeInfo><NodeInfo NodeId=\"a\" Host=\"127.0.0.1:9\"/>"
        "<NodeInfo NodeId=\"b\" Host=\"127.0.0.1:10\" Weight=\"2\"/></ArrayOfNodeInfo>");
    boost::property_tree::ptree tree;
    ParseXmlManifest(in, tree);
    auto list = std::make_shared<StandardNodeListManifest>();
    list->Read(tree);
    return list;
}

inline std::shared_ptr<GeolocationManifest> ParseGeolocation() {
    std::istringstream in(R"({"ip":"192.0.2.7","country_code":"DE"})");
    boost::property_tree::ptree tree;
    ParseJsonManifest(in, tree);
    auto geolocation = std::make_shared<StandardGeolocationManifest>();
    geolocation->Read(tree);
    return geolocation;
}

class FakeClock {
  public:
    MillisecondClock Clock() {
        return [this] { return now_.load(); };
    }
    void Advance(std::uint32_t ms) { now_ += ms; }
    void Set(std::uint32_t ms) { now_ = ms; }

  private:
    std::atomic<std::uint32_t> now_{5000};
};

// A leaf that runs a function.
class FunctionWork : public SimpleWork {
  public:
    using Task = std::function<WorkStatus()>;
    explicit FunctionWork(Task task, WorkCompleteCallback* callback = nullptr)
        : SimpleWork(callback), task_(std::move(task)) {}
    void Abort() override {}

  protected:
    WorkStatus ExecuteTask() override { return task_(); }

  private:
    Task task_;
};

// What each step of the fake tree does; the defaults acquire the parsed
// manifests and transfer every byte.
struct TreeScript {
    using Step = std::function<WorkStatus(TransferWorkInterface&)>;

    Step package = [](TransferWorkInterface&) {
        return WorkStatus(WorkResult::Success, std::make_shared<PackageStatusData>(ParsePackage()));
    };
    Step nodeList = [](TransferWorkInterface&) {
        return WorkStatus(WorkResult::Success, std::make_shared<NodeListStatusData>(ParseNodeList()));
    };
    Step geolocation = [](TransferWorkInterface&) {
        return WorkStatus(WorkResult::Success, std::make_shared<GeolocationStatusData>(ParseGeolocation()));
    };
    Step transfer = [](TransferWorkInterface& transfer) {
        auto progress = transfer.GetProgressUpdater();
        progress->AddDownloaded(16);
        progress->AddDone(16);
        progress->AddVerified(16);
        return WorkStatus(WorkResult::Success);
    };
};

// root [ initialize [ manifests [ package, node list ], geolocation ], transfer ]
class FakeWorkflowFactory : public TransferWorkflowFactory {
  public:
    explicit FakeWorkflowFactory(TreeScript script = TreeScript()) : script_(std::move(script)) {}

    std::shared_ptr<Workflow> CreateWorkflow(
        const std::shared_ptr<TransferWorkInterface>& transfer) override {
        ++created;
        const TreeScript script = script_;
        auto step = [transfer](const TreeScript::Step& s) { return [transfer, s] { return s(*transfer); }; };
        auto root = SequentialWork::Create(transfer->GetWorkCompleteCallback(), 2);
        auto initialize = SequentialWork::Create(transfer->GetInitializeCallback(), 2);
        auto manifests = ParallelWork::Create();
        manifests->AddWork(
            std::make_shared<FunctionWork>(step(script.package), transfer->GetPackageAcquireCallback()));
        manifests->AddWork(
            std::make_shared<FunctionWork>(step(script.nodeList), transfer->GetNodeListAcquireCallback()));
        initialize->AddWork(manifests);
        initialize->AddWork(
            std::make_shared<FunctionWork>(step(script.geolocation), transfer->GetGeolocationCallback()));
        root->AddWork(initialize);
        root->AddWork(std::make_shared<FunctionWork>(step(script.transfer)));
        const TransferBehavior& behavior = transfer->GetBehavior();
        return StandardWorkflow::Create(root, behavior.workManager, behavior.settings.maxRunningWorks);
    }

    std::atomic<int> created{0};

  private:
    TreeScript script_;
};

// Records the events it raises and, when asked, whether the transfer's mutex
// was free while each was sent.
class RecordingTransfer : public StandardTransfer {
  public:
    using StandardTransfer::StandardTransfer;

    std::vector<TransferEventRecord> Events() {
        std::lock_guard<std::mutex> lock(eventsMutex_);
        return events_;
    }
    std::vector<TransferEventKind> Kinds() {
        std::vector<TransferEventKind> kinds;
        for (const auto& event : Events()) {
            kinds.push_back(event.kind);
        }
        return kinds;
    }
    std::size_t Count(TransferEventKind kind) {
        std::size_t n = 0;
        for (const auto& event : Events()) {
            n += event.kind == kind ? 1 : 0;
        }
        return n;
    }
    std::atomic<bool> checkMutexFree{false};
    std::atomic<int> sentUnderMutex{0};

  protected:
    void SendEvent(const TransferEventRecord& event) override {
        if (checkMutexFree) {
            bool free = false;
            // The sending thread waits for the probe, so if it held the mutex
            // every attempt fails; other threads (a status poll) hold it only
            // for a moment, so one of a few spaced attempts gets through.
            std::thread probe([&] {
                for (int attempt = 0; attempt < 200 && !free; ++attempt) {
                    free = Mutex().try_lock();
                    if (free) {
                        Mutex().unlock();
                    } else {
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    }
                }
            });
            probe.join();
            if (!free) {
                ++sentUnderMutex;
            }
        }
        std::lock_guard<std::mutex> lock(eventsMutex_);
        events_.push_back(event);
    }

  private:
    std::mutex eventsMutex_;
    std::vector<TransferEventRecord> events_;
};

// The engine components a transfer needs, on real thread pools.
class TransferEnvironment {
  public:
    TransferEnvironment() : work(2, false), housekeeping(1, true) {
        behavior.settings.maxRunningWorks = 2;
        behavior.settings.rateWindowSeconds = 1;
        behavior.httpSessionFactory = &sessions;
        behavior.sharedFileFactory = &files;
        behavior.workManager = &work;
        behavior.housekeepingWorkManager = &housekeeping;
    }

    TransferParams Params(const std::string& id = "0123456789abcdef0123456789abcdef") const {
        TransferParams params;
        params.transferId = id;
        params.partnerId = "partner";
        params.packageId = "pkg";
        return params;
    }

    RoundRobinHttpSessionFactory sessions;
    PosixSharedFileFactory files;
    AsioWorkManager work;
    AsioWorkManager housekeeping;
    TransferBehavior behavior;
};

inline TransferState StateOf(const TransferStatus& status) {
    return static_cast<TransferState>(status.state);
}

}  // namespace tvl::test
