#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "engine/service/JsonTempFileManifestStore.h"
#include "engine/service/TransferFactory.h"
#include "engine/service/TransferManager.h"
#include "engine/service/TransferState.h"
#include "tests/engine/service/TransferTestSupport.h"
#include "tests/support/TemporaryFolder.h"

namespace tvl {
namespace {

using test::StateOf;
using test::TreeScript;
using test::WaitFor;

// Operations from several threads while the work tree reports: whatever the
// interleaving, the transfer ends in a consistent state and nothing races.
TEST(TransferConcurrency, OperationsFromSeveralThreadsWhileReportsArrive) {
    test::TemporaryFolder folder;
    for (int round = 0; round < 20; ++round) {
        test::TransferEnvironment env;
        TreeScript script;
        script.transfer = [](TransferWorkInterface& t) {
            auto progress = t.GetProgressUpdater();
            for (int i = 0; i < 16; ++i) {
                progress->AddDownloaded(1);
                progress->AddDone(1);
                progress->AddVerified(1);
                t.RegisterFile("f" + std::to_string(i));
            }
            return WorkStatus(WorkResult::Success);
        };
        test::FakeWorkflowFactory factory(script);
        auto transfer =
            StandardTransfer::Create<test::RecordingTransfer>(env.Params(), env.behavior, &factory);
        transfer->Initialize();
        std::atomic<bool> stop{false};
        std::vector<std::thread> threads;
        threads.emplace_back([&] {
            while (!stop) {
                const auto status = transfer->GetStatus();
                if (StateOf(status) == TransferState::Initialized) {
                    transfer->Start(folder.Path());
                }
            }
        });
        threads.emplace_back([&] {
            for (int i = 0; i < 200 && !stop; ++i) {
                transfer->Pause();
                transfer->Resume();
                transfer->GetNodeStatisticsJson();
            }
        });
        threads.emplace_back([&] {
            if (round % 2 == 0) {
                std::this_thread::sleep_for(std::chrono::microseconds(200 * round));
                transfer->Suspend();
                transfer->Restore();
            }
        });
        // The suspending thread ends first; then the poller starts whatever
        // got back to Initialized until the transfer is final.
        threads[2].join();
        EXPECT_TRUE(WaitFor([&] { return transfer->GetStatus().IsFinal(); }, std::chrono::seconds(20)))
            << "round " << round << " state " << int(transfer->GetStatus().state);
        stop = true;
        threads[0].join();
        threads[1].join();
        const auto status = transfer->GetStatus();
        const auto state = StateOf(status);
        EXPECT_TRUE(state == TransferState::Completed || state == TransferState::Canceled)
            << int(status.state);
        if (state == TransferState::Completed) {
            EXPECT_EQ(status.bytesVerified, 16u);
            // The event goes out after the state has changed, outside the
            // transfer's lock, so it may still be on its way. A completed
            // transfer that was suspended and restored completes again.
            EXPECT_TRUE(WaitFor([&] { return transfer->Count(TransferEventKind::Complete) >= 1u; }))
                << "round " << round << ": completed without a Complete event";
            EXPECT_LE(transfer->Count(TransferEventKind::Complete),
                      1u + transfer->Count(TransferEventKind::Restore));
        }
        EXPECT_EQ(transfer->Count(TransferEventKind::FatalError), 0u);
        transfer->Cancel(true);
    }
}

TEST(TransferConcurrency, ConcurrentGetOfAStoredIdMakesOneTransfer) {
    test::TemporaryFolder temp;
    test::TransferEnvironment env;
    PosixSharedFileFactory files;
    JsonTempFileManifestStore<TransferManifest> store(temp.Path() + "/transfers", &files);
    test::FakeWorkflowFactory workflows;
    StoredTransferFactory factory(&store, &workflows);
    env.behavior.transferFactory = &factory;
    TransferManifest manifest;
    manifest.params.transferId = "0123456789abcdef0123456789abcdef";
    manifest.params.partnerId = "partner";
    manifest.params.packageId = "pkg";
    manifest.params.destPath = temp.Path();
    ASSERT_TRUE(store.Save(manifest.params.transferId, manifest));
    TempFileTransferManager manager(&store);
    std::vector<std::shared_ptr<Transfer>> got(4);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < got.size(); ++i) {
        threads.emplace_back([&, i] { got[i] = manager.Get(manifest.params.transferId, env.behavior); });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (const auto& transfer : got) {
        ASSERT_TRUE(transfer);
        EXPECT_EQ(transfer, got[0]);
    }
    EXPECT_EQ(workflows.created.load(), 1);
}

}  // namespace
}  // namespace tvl
