#include "engine/service/StandardTransfer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "engine/service/StandardTransferWorkInterface.h"
#include "engine/service/TransferState.h"
#include "engine/work/WorkStatusData.h"
#include "tests/engine/service/TransferTestSupport.h"
#include "tests/support/TemporaryFolder.h"

namespace tvl {
namespace {

namespace fs = std::filesystem;
using test::FakeWorkflowFactory;
using test::RecordingTransfer;
using test::StateOf;
using test::TreeScript;
using test::WaitFor;
using Kind = TransferEventKind;

// Holds the transfer step until opened (or the wait limit passes).
// Holds the transfer step until opened (or the wait limit passes), then
// transfers every byte.
struct Gate {
    std::atomic<bool> open{false};
    std::atomic<int> entered{0};
    WorkStatus Wait(TransferWorkInterface& transfer) {
        ++entered;
        WaitFor([this] { return open.load(); });
        return TreeScript().transfer(transfer);
    }
};

void WriteFile(const fs::path& path, std::size_t size) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << std::string(size, 'x');
}

std::string MessageOf(const TransferEventRecord& event) {
    const auto* data = dynamic_cast<const WorkErrorData*>(event.detail.get());
    return data != nullptr ? data->GetMessage() : std::string();
}

class StandardTransferTest : public ::testing::Test {
  protected:
    ~StandardTransferTest() override {
        gate.open = true;
        transfer.reset();
    }

    std::shared_ptr<RecordingTransfer> Make(TreeScript script = TreeScript(), bool suspended = false) {
        factory = std::make_unique<FakeWorkflowFactory>(std::move(script));
        TransferParams params = env.Params();
        params.suspended = suspended;
        transfer = StandardTransfer::Create<RecordingTransfer>(params, env.behavior, factory.get());
        return transfer;
    }

    // Creates the transfer and waits until it is Initialized.
    std::shared_ptr<RecordingTransfer> MakeInitialized(TreeScript script = TreeScript()) {
        Make(std::move(script));
        transfer->Initialize();
        EXPECT_TRUE(WaitFor([&] { return transfer->Count(TransferEventKind::InitializeComplete) == 1; }));
        EXPECT_EQ(StateOf(transfer->GetStatus()), TransferState::Initialized);
        return transfer;
    }

    TreeScript GatedScript() {
        TreeScript script;
        script.transfer = [this](TransferWorkInterface& t) { return gate.Wait(t); };
        return script;
    }

    TransferStatus WaitForFatal() {
        EXPECT_TRUE(WaitFor([&] { return transfer->Count(Kind::FatalError) == 1; }));
        return transfer->GetStatus();
    }

    std::string FatalMessage() {
        for (const auto& event : transfer->Events()) {
            if (event.kind == Kind::FatalError) {
                return MessageOf(event);
            }
        }
        return std::string();
    }

    test::TransferEnvironment env;
    Gate gate;
    test::TemporaryFolder folder;
    std::unique_ptr<FakeWorkflowFactory> factory;
    std::shared_ptr<RecordingTransfer> transfer;
};

TEST_F(StandardTransferTest, DownloadRunsFromCreationToCompletionRaisingOneEventPerTransition) {
    Make();
    transfer->checkMutexFree = true;
    TransferStatus status = transfer->GetStatus();
    EXPECT_EQ(StateOf(status), TransferState::Initializing);
    EXPECT_EQ(status.error, 0);
    EXPECT_EQ(status.versionId, "?");
    EXPECT_TRUE(transfer->Events().empty()) << "creation raises nothing";

    status = transfer->Initialize();
    EXPECT_EQ(transfer->Count(Kind::Initialize), 1u);
    ASSERT_TRUE(WaitFor([&] { return transfer->Count(Kind::InitializeComplete) == 1; }));
    status = transfer->GetStatus();
    EXPECT_EQ(status.versionId, "7") << "the manifest's version replaces the unspecified one";
    EXPECT_EQ(status.bytesTotal, 16u);
    EXPECT_EQ(status.runPath, "") << "no run path before completion";
    EXPECT_EQ(status.destPath, "?");

    EXPECT_EQ(StateOf(transfer->Initialize()), TransferState::Initialized)
        << "a second Initialize is refused";
    status = transfer->Start("?");
    EXPECT_EQ(StateOf(status), TransferState::Initialized) << "no destination given anywhere";

    status = transfer->Start(folder.Path());
    EXPECT_EQ(StateOf(status), TransferState::Transferring);
    EXPECT_EQ(status.destPath, folder.Path());
    ASSERT_TRUE(WaitFor([&] { return StateOf(transfer->GetStatus()) == TransferState::Completed; }));
    status = transfer->GetStatus();
    EXPECT_EQ(status.runPath, "app/run.sh");
    EXPECT_EQ(status.bytesDone, 16u);
    EXPECT_EQ(status.bytesVerified, 16u);
    EXPECT_TRUE(status.IsFinal());
    // Events are sent by the operation's or the report's thread after each
    // released the mutex, so their order is free and the completion's event
    // may follow the state a moment later; each is raised exactly once.
    ASSERT_TRUE(WaitFor([&] { return transfer->Count(Kind::Complete) == 1; }));
    EXPECT_EQ(transfer->Events().size(), 4u);
    EXPECT_EQ(transfer->Count(Kind::InitializeComplete), 1u);
    EXPECT_EQ(transfer->Count(Kind::Start), 1u);
    EXPECT_EQ(transfer->Count(Kind::Complete), 1u);
    EXPECT_EQ(transfer->sentUnderMutex.load(), 0) << "events are sent after the mutex is released";
    EXPECT_FALSE(transfer->GetWorkflow()) << "completion releases the workflow";
}

TEST_F(StandardTransferTest, OperationsTheStateDoesNotAllowChangeNothing) {
    Make(GatedScript());
    // Initializing, workflow not started.
    for (auto op : std::vector<std::function<TransferStatus()>>{
             [&] { return transfer->Start(folder.Path()); }, [&] { return transfer->Resume(); },
             [&] { return transfer->Retry(); }, [&] { return transfer->Restore(); },
             [&] { return transfer->Pause(); }}) {
        const TransferStatus status = op();
        EXPECT_EQ(StateOf(status), TransferState::Initializing);
        EXPECT_EQ(status.error, 0);
    }
    EXPECT_TRUE(transfer->Events().empty());

    transfer->Initialize();
    ASSERT_TRUE(WaitFor([&] { return StateOf(transfer->GetStatus()) == TransferState::Initialized; }));
    const std::size_t before = transfer->Events().size();
    EXPECT_EQ(StateOf(transfer->Pause()), TransferState::Initialized);
    EXPECT_EQ(StateOf(transfer->Resume()), TransferState::Initialized);
    EXPECT_EQ(StateOf(transfer->Retry()), TransferState::Initialized);
    EXPECT_EQ(StateOf(transfer->Restore()), TransferState::Initialized);
    EXPECT_EQ(transfer->Events().size(), before);

    transfer->Start(folder.Path());
    EXPECT_EQ(StateOf(transfer->Start(folder.Path())), TransferState::Transferring) << "second start refused";
    EXPECT_EQ(StateOf(transfer->Resume()), TransferState::Transferring);
    EXPECT_EQ(transfer->Count(Kind::Start), 1u);
    EXPECT_EQ(transfer->Count(Kind::Resume), 0u);
}

TEST_F(StandardTransferTest, PauseAndResumeInBothPhases) {
    TreeScript script = GatedScript();
    Gate initGate;
    script.geolocation = [&initGate](TransferWorkInterface&) {
        ++initGate.entered;
        WaitFor([&initGate] { return initGate.open.load(); });
        return WorkStatus(WorkResult::Success,
                          std::make_shared<GeolocationStatusData>(test::ParseGeolocation()));
    };
    Make(script);
    transfer->Initialize();
    ASSERT_TRUE(WaitFor([&] { return initGate.entered.load() == 1; }));
    EXPECT_EQ(StateOf(transfer->Pause()), TransferState::InitializingPaused);
    EXPECT_EQ(StateOf(transfer->Pause()), TransferState::InitializingPaused) << "already paused";
    EXPECT_EQ(StateOf(transfer->Resume()), TransferState::Initializing);
    initGate.open = true;
    ASSERT_TRUE(WaitFor([&] { return StateOf(transfer->GetStatus()) == TransferState::Initialized; }));

    transfer->Start(folder.Path());
    ASSERT_TRUE(WaitFor([&] { return gate.entered.load() == 1; }));
    EXPECT_EQ(StateOf(transfer->Pause()), TransferState::TransferringPaused);
    EXPECT_EQ(StateOf(transfer->Resume()), TransferState::Transferring);
    EXPECT_EQ(transfer->Count(Kind::Pause), 2u);
    EXPECT_EQ(transfer->Count(Kind::Resume), 2u);
}

TEST_F(StandardTransferTest, SuspendBeforeAnyDestinationCancels) {
    Make(GatedScript());
    transfer->Initialize();
    const TransferStatus status = transfer->Suspend();
    EXPECT_EQ(StateOf(status), TransferState::Canceled);
    EXPECT_EQ(transfer->Count(Kind::Cancel), 1u);
    EXPECT_EQ(transfer->Count(Kind::Suspend), 0u);
    EXPECT_EQ(StateOf(transfer->Restore()), TransferState::Canceled) << "final";
    EXPECT_EQ(StateOf(transfer->Cancel(false)), TransferState::Canceled);
    EXPECT_EQ(transfer->Count(Kind::Cancel), 1u) << "a refused cancel raises nothing";
}

TEST_F(StandardTransferTest, SuspendWhileTransferringThenRestoreRunsANewWorkflow) {
    MakeInitialized(GatedScript());
    transfer->Start(folder.Path());
    ASSERT_TRUE(WaitFor([&] { return gate.entered.load() == 1; }));
    auto oldInterface = transfer->GetWorkInterface();

    TransferStatus status = transfer->Suspend();
    EXPECT_EQ(StateOf(status), TransferState::Suspended);
    EXPECT_EQ(status.bytesTotal, 0u) << "fresh data after a suspension";
    EXPECT_EQ(status.destPath, folder.Path()) << "the parameters carry over";
    EXPECT_EQ(transfer->Count(Kind::Suspend), 1u);
    EXPECT_FALSE(transfer->GetWorkflow());
    EXPECT_NE(transfer->GetWorkInterface(), oldInterface);
    EXPECT_FALSE(std::static_pointer_cast<StandardTransferWorkInterface>(oldInterface)->IsActive());

    status = transfer->Restore();
    EXPECT_EQ(StateOf(status), TransferState::Initializing);
    EXPECT_EQ(factory->created.load(), 2);
    gate.open = true;
    ASSERT_TRUE(WaitFor([&] { return StateOf(transfer->GetStatus()) == TransferState::Initialized; }));
    EXPECT_EQ(StateOf(transfer->Start("/somewhere/else")), TransferState::Initialized)
        << "a different destination is refused";
    EXPECT_EQ(StateOf(transfer->Start("?")), TransferState::Transferring)
        << "the recorded destination is used";
    ASSERT_TRUE(WaitFor([&] { return StateOf(transfer->GetStatus()) == TransferState::Completed; }));
    EXPECT_EQ(transfer->Count(Kind::Restore), 1u);
}

TEST_F(StandardTransferTest, SuspendOfACompletedTransferRaisesNoEventAndResetsCounters) {
    MakeInitialized();
    transfer->Start(folder.Path());
    ASSERT_TRUE(WaitFor([&] { return StateOf(transfer->GetStatus()) == TransferState::Completed; }));
    ASSERT_TRUE(WaitFor([&] { return transfer->Count(Kind::Complete) == 1; }));
    const std::size_t before = transfer->Events().size();
    const TransferStatus status = transfer->Suspend();
    EXPECT_EQ(StateOf(status), TransferState::Suspended);
    EXPECT_EQ(status.bytesDone, 0u);
    EXPECT_EQ(status.bytesVerified, 0u);
    EXPECT_EQ(status.runPath, "");
    EXPECT_EQ(transfer->Events().size(), before);
}

TEST_F(StandardTransferTest, ATransferCreatedSuspendedWaitsForRestore) {
    Make(TreeScript(), true);
    EXPECT_EQ(StateOf(transfer->GetStatus()), TransferState::Suspended);
    EXPECT_EQ(StateOf(transfer->Initialize()), TransferState::Suspended);
    EXPECT_EQ(StateOf(transfer->Restore()), TransferState::Initializing);
    EXPECT_EQ(factory->created.load(), 1) << "the workflow built at construction is used";
    ASSERT_TRUE(WaitFor([&] { return StateOf(transfer->GetStatus()) == TransferState::Initialized; }));
    // Once suspended, a transfer that is initializing again is suspended, not canceled.
    EXPECT_EQ(StateOf(transfer->Suspend()), TransferState::Suspended);
}

TEST_F(StandardTransferTest, RetryableErrorWaitsForRetryAndRetryClearsIt) {
    TreeScript script;
    auto attempts = std::make_shared<std::atomic<int>>(0);
    const TreeScript::Step complete = script.transfer;
    script.transfer = [attempts, complete](TransferWorkInterface& t) {
        if ((*attempts)++ == 0) {
            return WorkStatus(WorkResult::RetryableError,
                              CreateTransferErrorData(TransferError::ConnectionError, "node down"));
        }
        return complete(t);
    };
    MakeInitialized(script);
    EXPECT_EQ(StateOf(transfer->Retry()), TransferState::Initialized) << "no error to retry";
    transfer->Start(folder.Path());
    ASSERT_TRUE(WaitFor([&] { return transfer->GetStatus().error != 0; }));
    TransferStatus status = transfer->GetStatus();
    EXPECT_EQ(status.error, static_cast<std::uint8_t>(TransferError::ConnectionError));
    EXPECT_TRUE(status.retryable);
    EXPECT_FALSE(status.IsFinal());
    EXPECT_EQ(StateOf(status), TransferState::Transferring) << "the state byte does not change";
    EXPECT_EQ(transfer->Count(Kind::RetryableError), 1u);

    status = transfer->Retry();
    EXPECT_EQ(status.error, 0);
    EXPECT_FALSE(status.retryable);
    ASSERT_TRUE(WaitFor([&] { return StateOf(transfer->GetStatus()) == TransferState::Completed; }));
    EXPECT_EQ(attempts->load(), 2);
    EXPECT_EQ(transfer->Count(Kind::Retry), 1u);
}

TEST_F(StandardTransferTest, AnErrorOfTheTreeEndsTheTransferWithItsCode) {
    TreeScript script;
    script.transfer = [](TransferWorkInterface&) {
        return WorkStatus(WorkResult::Error, CreateTransferErrorData(TransferError::DiskFull, "full"));
    };
    MakeInitialized(script);
    transfer->Start(folder.Path());
    const TransferStatus status = WaitForFatal();
    EXPECT_EQ(status.error, static_cast<std::uint8_t>(TransferError::DiskFull));
    EXPECT_FALSE(status.retryable);
    EXPECT_TRUE(status.IsFinal());
    EXPECT_EQ(StateOf(status), TransferState::Transferring) << "errors leave the state byte";
    EXPECT_EQ(FatalMessage(), "full");
    EXPECT_FALSE(transfer->GetWorkflow());
    EXPECT_EQ(StateOf(transfer->Cancel(false)), TransferState::Transferring) << "final: cancel refused";
    EXPECT_EQ(StateOf(transfer->Suspend()), TransferState::Transferring) << "final: suspend refused";
}

struct FatalCase {
    const char* name;
    std::function<void(TreeScript&)> arrange;
    TransferError code;
    const char* message;
};

class TransferFatalTest : public StandardTransferTest, public ::testing::WithParamInterface<FatalCase> {};

TEST_P(TransferFatalTest, InconsistentReportsEndTheTransferWithTheirMessage) {
    TreeScript script;
    GetParam().arrange(script);
    Make(script);
    transfer->Initialize();
    ASSERT_TRUE(WaitFor([&] {
        const auto s = StateOf(transfer->GetStatus());
        return transfer->Count(Kind::FatalError) == 1 || s == TransferState::Initialized;
    }));
    if (StateOf(transfer->GetStatus()) == TransferState::Initialized) {
        transfer->Start(folder.Path());
    }
    const TransferStatus status = WaitForFatal();
    EXPECT_EQ(status.error, static_cast<std::uint8_t>(GetParam().code));
    EXPECT_FALSE(status.retryable);
    EXPECT_EQ(FatalMessage(), GetParam().message);
    EXPECT_EQ(transfer->Count(Kind::FatalError), 1u) << "later reports of the canceled tree are ignored";
    // A report arriving while Initialize still builds the tree can raise the
    // error before the tree is installed; the release then follows at once.
    EXPECT_TRUE(WaitFor([&] { return !transfer->GetWorkflow(); })) << "the workflow is canceled and released";
}

WorkStatus Ok(std::shared_ptr<WorkStatusData> data) {
    return WorkStatus(WorkResult::Success, std::move(data));
}

INSTANTIATE_TEST_SUITE_P(
    Messages, TransferFatalTest,
    ::testing::Values(
        FatalCase{"PackageOfOtherPartner",
                  [](TreeScript& s) {
                      s.package = [](TransferWorkInterface&) {
                          return Ok(std::make_shared<PackageStatusData>(test::ParsePackage("other")));
                      };
                  },
                  TransferError::ContentError,
                  "Transfer::OnPackageAcquire called but package does not match ids"},
        FatalCase{
            "OtherPackage",
            [](TreeScript& s) {
                s.package = [](TransferWorkInterface&) {
                    return Ok(std::make_shared<PackageStatusData>(test::ParsePackage("partner", "other")));
                };
            },
            TransferError::ContentError, "Transfer::OnPackageAcquire called but package does not match ids"},
        FatalCase{"NullPackage",
                  [](TreeScript& s) {
                      s.package = [](TransferWorkInterface&) {
                          return Ok(std::make_shared<PackageStatusData>(nullptr));
                      };
                  },
                  TransferError::InternalError,
                  "Transfer::OnPackageAcquire called but data is not PackageStatusData or package is null"},
        FatalCase{
            "NodeListOfWrongType",
            [](TreeScript& s) {
                s.nodeList = [](TransferWorkInterface&) {
                    return Ok(std::make_shared<PackageStatusData>(test::ParsePackage()));
                };
            },
            TransferError::InternalError,
            "Transfer::OnNodeListAcquire called but data is not NodeListStatusData or nodelist is null"},
        FatalCase{
            "GeolocationWithoutData",
            [](TreeScript& s) { s.geolocation = [](TransferWorkInterface&) { return Ok(nullptr); }; },
            TransferError::InternalError,
            "Transfer::OnGeolocation called but data is not GeolocationStatusData or geolocation is null"},
        FatalCase{"SuccessWithIncompleteProgress",
                  [](TreeScript& s) {
                      s.transfer = [](TransferWorkInterface& t) {
                          t.GetProgressUpdater()->AddDone(16);
                          t.GetProgressUpdater()->AddVerified(15);
                          return WorkStatus(WorkResult::Success);
                      };
                  },
                  TransferError::InternalError,
                  "Transfer::OnWorkComplete called with Success result but progress is not complete"},
        FatalCase{"ErrorWithoutTransferData",
                  [](TreeScript& s) {
                      s.transfer = [](TransferWorkInterface&) {
                          return WorkStatus(WorkResult::Error, std::make_shared<WorkErrorData>("plain"));
                      };
                  },
                  TransferError::InternalError,
                  "Transfer::OnWorkComplete called with error result but data is not TransferStatusData"},
        FatalCase{"ErrorWithNoneCode",
                  [](TreeScript& s) {
                      s.transfer = [](TransferWorkInterface&) {
                          return WorkStatus(WorkResult::Failure,
                                            CreateTransferErrorData(TransferError::None, "x"));
                      };
                  },
                  TransferError::InternalError,
                  "Transfer::OnWorkComplete called with error result but data->ToTransferError() is None"},
        FatalCase{
            "RetryableErrorWithoutTransferData",
            [](TreeScript& s) {
                s.transfer = [](TransferWorkInterface&) {
                    return WorkStatus(WorkResult::RetryableError, std::make_shared<WorkErrorData>("plain"));
                };
            },
            TransferError::InternalError, "Transfer::OnWorkflowRetryableError called with invalid data"},
        FatalCase{"RetryableErrorWithNoneCode",
                  [](TreeScript& s) {
                      s.transfer = [](TransferWorkInterface&) {
                          return WorkStatus(WorkResult::RetryableError,
                                            CreateTransferErrorData(TransferError::None, "x"));
                      };
                  },
                  TransferError::InternalError,
                  "Transfer::OnWorkflowRetryableError called with TransferError::None"}),
    [](const ::testing::TestParamInfo<FatalCase>& info) { return std::string(info.param.name); });

TEST_F(StandardTransferTest, ReportsOutOfPlaceAreFatal) {
    MakeInitialized(GatedScript());
    auto transferInterface = transfer->GetWorkInterface();
    transferInterface->GetPackageAcquireCallback()->OnWorkComplete(
        nullptr, Ok(std::make_shared<PackageStatusData>(test::ParsePackage())));
    EXPECT_EQ(FatalMessage(), "Transfer::OnPackageAcquire called but transfer is not initializing");
    EXPECT_EQ(transfer->GetStatus().error, 9);
}

TEST_F(StandardTransferTest, InitializeReportWithoutManifestsIsFatal) {
    Make(GatedScript());
    transfer->GetWorkInterface()->GetInitializeCallback()->OnWorkComplete(nullptr,
                                                                          WorkStatus(WorkResult::Success));
    EXPECT_EQ(FatalMessage(), "Transfer::OnInitialize called but package is missing");
}

TEST_F(StandardTransferTest, RetryableErrorReportsAreChecked) {
    MakeInitialized(GatedScript());
    auto* callback = transfer->GetWorkInterface()->GetRetryableErrorCallback();
    auto data = CreateTransferErrorData(TransferError::ConnectionError, "x");
    callback->OnWorkflowRetryableError(transfer->GetWorkflow(), nullptr,
                                       WorkStatus(WorkResult::Success, data));
    EXPECT_EQ(FatalMessage(), "Transfer::OnWorkflowRetryableError called with incorrect status");

    gate.open = true;
    transfer.reset();
    MakeInitialized(GatedScript());
    callback = transfer->GetWorkInterface()->GetRetryableErrorCallback();
    callback->OnWorkflowRetryableError(nullptr, nullptr, WorkStatus(WorkResult::RetryableError, data));
    EXPECT_EQ(FatalMessage(), "Transfer::OnWorkflowRetryableError called on wrong workflow");
}

TEST_F(StandardTransferTest, ReportsAfterCancelAndReportsToAnOldInterfaceAreDropped) {
    MakeInitialized(GatedScript());
    transfer->Start(folder.Path());
    auto old = transfer->GetWorkInterface();
    transfer->Suspend();
    const std::size_t events = transfer->Events().size();
    // The old tree's late reports reach nothing, not even a Fatal.
    old->GetPackageAcquireCallback()->OnWorkComplete(nullptr, Ok(nullptr));
    old->GetWorkCompleteCallback()->OnWorkComplete(nullptr, WorkStatus(WorkResult::Success));
    old->GetRetryableErrorCallback()->OnWorkflowRetryableError(
        nullptr, nullptr,
        WorkStatus(WorkResult::RetryableError, CreateTransferErrorData(TransferError::DiskFull, "")));
    TransferStatus status = transfer->GetStatus();
    EXPECT_EQ(StateOf(status), TransferState::Suspended);
    EXPECT_EQ(status.error, 0);
    EXPECT_EQ(transfer->Events().size(), events);

    transfer->Restore();
    transfer->Cancel(false);
    transfer->GetWorkInterface()->GetInitializeCallback()->OnWorkComplete(nullptr,
                                                                          WorkStatus(WorkResult::Success));
    status = transfer->GetStatus();
    EXPECT_EQ(StateOf(status), TransferState::Canceled);
    EXPECT_EQ(status.error, 0) << "a report after the final state is ignored";
}

TEST_F(StandardTransferTest, AWorkThatOutlivesItsTransferReachesNothing) {
    MakeInitialized(GatedScript());
    auto transferInterface = transfer->GetWorkInterface();
    std::weak_ptr<RecordingTransfer> weak = transfer;
    transfer.reset();
    EXPECT_TRUE(weak.expired());
    transferInterface->GetWorkCompleteCallback()->OnWorkComplete(nullptr, WorkStatus(WorkResult::Success));
    transferInterface->RegisterFile("a");
    EXPECT_EQ(transferInterface->CopyParams().partnerId, "partner");
}

TEST_F(StandardTransferTest, CancelWithFilesDeletesRegisteredFilesAndLateOnes) {
    TreeScript script;
    const std::string destination = folder.Path();
    const TreeScript::Step complete = script.transfer;
    script.transfer = [destination, complete](TransferWorkInterface& t) {
        WriteFile(fs::path(destination) / "app/run.sh", 10);
        WriteFile(fs::path(destination) / "data/b.bin", 6);
        t.RegisterFile("app/run.sh");
        t.RegisterFile("data/b.bin");
        return complete(t);
    };
    MakeInitialized(script);
    WriteFile(fs::path(destination) / "mine.txt", 3);
    transfer->Start(destination);
    ASSERT_TRUE(WaitFor([&] { return StateOf(transfer->GetStatus()) == TransferState::Completed; }));
    EXPECT_EQ(StateOf(transfer->Cancel(true)), TransferState::Completed) << "refused, but files go";
    EXPECT_TRUE(WaitFor([&] { return !fs::exists(fs::path(destination) / "app"); }));
    EXPECT_TRUE(WaitFor([&] { return !fs::exists(fs::path(destination) / "data"); }));
    EXPECT_TRUE(fs::exists(fs::path(destination) / "mine.txt")) << "only registered files are deleted";

    WriteFile(fs::path(destination) / "late/file", 1);
    transfer->GetWorkInterface()->RegisterFile("late/file");
    EXPECT_FALSE(fs::exists(fs::path(destination) / "late")) << "deleted at once once the mark is set";
}

TEST_F(StandardTransferTest, DestinationChecks) {
    Make(GatedScript());
    const fs::path dest(folder.Path());
    EXPECT_FALSE(transfer->CanTransferTo(folder.Path())) << "only when initialized";
    EXPECT_FALSE(transfer->IsSubset(folder.Path(), false));
    EXPECT_FALSE(transfer->IsSuperset(folder.Path(), false));
    EXPECT_TRUE(transfer->Events().empty());
    transfer->Initialize();
    ASSERT_TRUE(WaitFor([&] { return StateOf(transfer->GetStatus()) == TransferState::Initialized; }));
    const std::size_t before = transfer->Events().size();

    EXPECT_TRUE(transfer->CanTransferTo(folder.Path()));
    auto event = transfer->Events().back();
    EXPECT_EQ(event.kind, Kind::CanTransferTo);
    EXPECT_EQ(event.transferSize, 16u);
    EXPECT_GT(event.availableSpace, 0u);
    EXPECT_EQ(event.allocatedSpace, 0u);
    WriteFile(dest / "app/run.sh", 4);
    EXPECT_TRUE(transfer->CanTransferTo(folder.Path()));
    EXPECT_EQ(transfer->Events().back().allocatedSpace, 4u);
    EXPECT_FALSE(transfer->CanTransferTo("/nonexistent/place")) << "no space readable and nothing allocated";

    EXPECT_FALSE(transfer->IsSubset(folder.Path(), false));
    event = transfer->Events().back();
    EXPECT_EQ(event.failure, (dest / "data/b.bin").string());
    EXPECT_FALSE(event.hasActualSize);
    WriteFile(dest / "data/b.bin", 6);
    EXPECT_TRUE(transfer->IsSubset(folder.Path(), false)) << "sizes not confirmed";
    EXPECT_FALSE(transfer->IsSubset(folder.Path(), true));
    event = transfer->Events().back();
    EXPECT_EQ(event.failure, (dest / "app/run.sh").string());
    EXPECT_TRUE(event.hasActualSize);
    EXPECT_EQ(event.actualSize, 4u);
    WriteFile(dest / "app/run.sh", 10);
    EXPECT_TRUE(transfer->IsSubset(folder.Path(), true));
    EXPECT_TRUE(transfer->Events().back().failure.empty());

    EXPECT_TRUE(transfer->IsSuperset(folder.Path(), false));
    WriteFile(dest / "app/.hidden", 1);
    EXPECT_FALSE(transfer->IsSuperset(folder.Path(), false));
    EXPECT_EQ(transfer->Events().back().failure, (dest / "app/.hidden").string());
    EXPECT_TRUE(transfer->IsSuperset(folder.Path(), true));
    fs::create_directories(dest / "empty");
    EXPECT_FALSE(transfer->IsSuperset(folder.Path(), true)) << "an empty folder is not the package's";
    fs::remove(dest / "empty");
    WriteFile(dest / "extra.txt", 1);
    EXPECT_FALSE(transfer->IsSuperset(folder.Path(), true));
    EXPECT_FALSE(transfer->IsSuperset("/nonexistent/place", true));
    EXPECT_FALSE(transfer->Events().back().failure.empty()) << "the exception's text";
    EXPECT_EQ(transfer->Events().size(), before + 13) << "one call event per check";
}

TEST_F(StandardTransferTest, StatusPollingRaisesPeriodicEventsOnTransferTime) {
    test::FakeClock clock;
    env.behavior.settings.periodicUpdateSeconds = 1;
    factory = std::make_unique<FakeWorkflowFactory>(GatedScript());
    transfer =
        StandardTransfer::Create<RecordingTransfer>(env.Params(), env.behavior, factory.get(), clock.Clock());
    transfer->Initialize();
    ASSERT_TRUE(WaitFor([&] { return StateOf(transfer->GetStatus()) == TransferState::Initialized; }));
    transfer->Start(folder.Path());
    transfer->GetWorkInterface()->GetProgressUpdater()->AddDownloaded(100);
    transfer->GetStatus();  // first sample: no transfer time yet
    for (int i = 0; i < 2; ++i) {
        clock.Advance(500);
        transfer->GetStatus();
    }
    EXPECT_EQ(transfer->Count(Kind::PeriodicUpdate), 0u) << "1000 ms do not exceed one second";
    clock.Advance(1);
    transfer->GetStatus();
    EXPECT_EQ(transfer->Count(Kind::PeriodicUpdate), 1u);
    clock.Advance(1000);
    transfer->GetStatus();
    EXPECT_EQ(transfer->Count(Kind::PeriodicUpdate), 1u) << "measured again from the last periodic event";
    clock.Advance(1);
    transfer->GetStatus();
    EXPECT_EQ(transfer->Count(Kind::PeriodicUpdate), 2u);
}

TEST_F(StandardTransferTest, NodeStatisticsJsonListsTheAcquiredNodes) {
    Make(GatedScript());
    EXPECT_EQ(transfer->GetNodeStatisticsJson(), "[]");
    transfer->Initialize();
    ASSERT_TRUE(WaitFor([&] { return StateOf(transfer->GetStatus()) == TransferState::Initialized; }));
    const std::string json = transfer->GetNodeStatisticsJson();
    EXPECT_EQ(json.front(), '[');
    EXPECT_NE(json.find("\"127.0.0.1:9\""), std::string::npos);
    EXPECT_NE(json.find("\"127.0.0.1:10\""), std::string::npos);
}

}  // namespace
}  // namespace tvl
