#include <gtest/gtest.h>

#include <boost/property_tree/ptree.hpp>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "engine/work/AsioWorkManager.h"
#include "engine/work/ConditionalWork.h"
#include "engine/work/LimitedRetrySequentialWork.h"
#include "engine/work/ParallelWork.h"
#include "engine/work/SequentialWork.h"
#include "engine/work/StandardWorkflow.h"
#include "tests/engine/work/WorkTestSupport.h"

namespace tvl {
namespace {

using namespace std::chrono_literals;
using test::CompletionRecorder;
using test::GateWork;
using test::ScriptedWork;
using test::WaitUntil;

// Notes the order in which works start and how many run at once.
class StartLog {
public:
    std::function<void()> Probe(std::string name, std::chrono::microseconds hold = 0us) {
        return [this, name, hold] {
            const int now = ++inside_;
            int seen = maxInside_.load();
            while (now > seen && !maxInside_.compare_exchange_weak(seen, now)) {
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                names_.push_back(name);
            }
            std::this_thread::sleep_for(hold);
            --inside_;
        };
    }
    std::vector<std::string> Names() {
        std::lock_guard<std::mutex> lock(mutex_);
        return names_;
    }
    int MaxInside() const { return maxInside_; }

private:
    std::mutex mutex_;
    std::vector<std::string> names_;
    std::atomic<int> inside_{0};
    std::atomic<int> maxInside_{0};
};

std::shared_ptr<ScriptedWork> Probed(StartLog& log, const std::string& name,
                                     std::vector<WorkResult> script = {WorkResult::Success}) {
    auto work = ScriptedWork::Create(std::move(script));
    work->onExecute = log.Probe(name);
    return work;
}

class RetryableErrorRecorder : public WorkflowRetryableErrorCallback {
public:
    void OnWorkflowRetryableError(const std::shared_ptr<Workflow>& workflow, const std::shared_ptr<const Work>& work,
                                  const WorkStatus& status) override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++calls;
        lastWork = work.get();
        lastStatus = status;
        stateSeen = workflow->GetState();
        if (onError) {
            onError(workflow);
        }
    }
    int Calls() {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls;
    }

    std::function<void(const std::shared_ptr<Workflow>&)> onError;
    std::mutex mutex_;
    int calls = 0;
    const Work* lastWork = nullptr;
    WorkStatus lastStatus;
    WorkflowState stateSeen = WorkflowState::NotStarted;
};

class WorkflowTest : public ::testing::Test {
protected:
    std::shared_ptr<StandardWorkflow> Make(const std::shared_ptr<Work>& root, std::uint32_t maxRunning) {
        root->AddCompleteCallback(&rootDone);
        auto workflow = StandardWorkflow::Create(root, &manager, maxRunning);
        workflow->AddRetryableErrorCallback(&retryable);
        return workflow;
    }

    WorkStatus RootStatus() { return rootDone.Entries().front().status; }

    CompletionRecorder rootDone;
    RetryableErrorRecorder retryable;
    AsioWorkManager manager{4, false};
};

TEST_F(WorkflowTest, RunsOneAtATimeInPathOrder) {
    StartLog log;
    const auto root = ParallelWork::Create();
    for (const char* name : {"a", "b", "c"}) {
        root->AddWork(Probed(log, name));
    }
    const auto workflow = Make(root, 1);
    EXPECT_TRUE(workflow->Start());
    EXPECT_FALSE(workflow->Start());
    ASSERT_TRUE(rootDone.WaitForCount(1));
    EXPECT_EQ(log.Names(), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(log.MaxInside(), 1);
    EXPECT_EQ(RootStatus().result, WorkResult::Success);
    EXPECT_EQ(workflow->GetState(), WorkflowState::Complete);
}

TEST_F(WorkflowTest, ChildQueuedLaterStillRunsBeforeLaterPaths) {
    // a2 is queued only when a1 ends, after b1 and b2 were queued; its smaller
    // path lets it run before them.
    StartLog log;
    const auto first = SequentialWork::Create();
    first->AddWork(Probed(log, "a1"));
    first->AddWork(Probed(log, "a2"));
    const auto second = ParallelWork::Create();
    second->AddWork(Probed(log, "b1"));
    second->AddWork(Probed(log, "b2"));
    const auto root = ParallelWork::Create();
    root->AddWork(first);
    root->AddWork(second);
    const auto workflow = Make(root, 1);
    workflow->Start();
    ASSERT_TRUE(rootDone.WaitForCount(1));
    EXPECT_EQ(log.Names(), (std::vector<std::string>{"a1", "a2", "b1", "b2"}));
}

TEST_F(WorkflowTest, LazyParallelNeverExceedsItsCapacity) {
    StartLog log;
    auto lazy = std::make_shared<test::GeneratedParallelWork>(3, 24, [&](std::size_t i) -> std::shared_ptr<Work> {
        auto work = ScriptedWork::Create({WorkResult::Success});
        work->onExecute = log.Probe(std::to_string(i), 300us);
        return work;
    });
    const auto workflow = Make(lazy, 8);
    workflow->Start();
    ASSERT_TRUE(rootDone.WaitForCount(1));
    EXPECT_EQ(RootStatus().result, WorkResult::Success);
    EXPECT_LE(log.MaxInside(), 3);
    EXPECT_GE(log.MaxInside(), 1);
    ASSERT_EQ(lazy->generated.size(), 24u);
    for (std::size_t i = 0; i < 24; ++i) {
        EXPECT_EQ(lazy->generated[i]->GetPath(), WorkPath{static_cast<std::uint32_t>(i)});
    }
}

TEST_F(WorkflowTest, NetworkLaneRunsItsWorksBesideTheCpuLimit) {
    // Three works that wait on the network fill their own three slots while
    // the one CPU slot still runs the CPU works; a fourth network work waits
    // for a network slot, not for the CPU.
    class NetworkGate : public GateWork {
      public:
        bool WaitsOnNetwork() const override { return true; }
    };
    AsioWorkManager networkManager{4, false};
    std::vector<std::shared_ptr<GateWork>> gates;
    const auto root = ParallelWork::Create();
    for (int i = 0; i < 4; ++i) {
        gates.push_back(std::make_shared<NetworkGate>());
        root->AddWork(gates.back());
    }
    StartLog log;
    root->AddWork(Probed(log, "cpu1"));
    root->AddWork(Probed(log, "cpu2"));
    root->AddCompleteCallback(&rootDone);
    const auto workflow = StandardWorkflow::Create(root, &manager, 1, &networkManager, 3);
    workflow->Start();
    ASSERT_TRUE(test::WaitUntil([&] { return log.Names().size() == 2; }));
    ASSERT_TRUE(test::WaitUntil([&] { return gates[0]->inside + gates[1]->inside + gates[2]->inside == 3; }));
    EXPECT_EQ(gates[3]->started, 0);
    EXPECT_EQ(workflow->GetNetworkRunningCount(), 3u);
    gates[0]->Release();
    ASSERT_TRUE(test::WaitUntil([&] { return gates[3]->inside == 1; }));
    for (const auto& gate : gates) {
        gate->Release();
    }
    ASSERT_TRUE(rootDone.WaitForCount(1));
    EXPECT_EQ(RootStatus().result, WorkResult::Success);
    // The last work leaves the running set just after the root has reported.
    EXPECT_TRUE(test::WaitUntil([&] { return workflow->GetNetworkRunningCount() == 0; }));

    // Without a network manager the same works share the one queue and limit.
    const auto single = GateWork::Create();
    auto oneLane = StandardWorkflow::Create(single, &manager, 1, nullptr, 8);
    oneLane->Start();
    ASSERT_TRUE(test::WaitUntil([&] { return single->inside == 1; }));
    EXPECT_EQ(oneLane->GetNetworkRunningCount(), 0u);
    single->Release();
    ASSERT_TRUE(test::WaitUntil([&] { return oneLane->IsFinished(); }));
}

TEST_F(WorkflowTest, PauseCancelsRunningWorksWhichWaitForResume) {
    const auto a = GateWork::Create(), b = GateWork::Create();
    const auto root = ParallelWork::Create();
    root->AddWork(a);
    root->AddWork(b);
    const auto workflow = Make(root, 4);
    workflow->Start();
    ASSERT_TRUE(WaitUntil([&] { return a->inside == 1 && b->inside == 1; }));
    EXPECT_FALSE(workflow->Resume());
    EXPECT_TRUE(workflow->Pause());
    EXPECT_FALSE(workflow->Pause());
    EXPECT_TRUE(workflow->IsPaused());
    // Both end Cancelled and are queued again, not run.
    ASSERT_TRUE(WaitUntil([&] { return workflow->GetRunningCount() == 0 && workflow->GetReadyCount() == 2; }));
    EXPECT_EQ(a->aborts, 1);
    EXPECT_EQ(b->aborts, 1);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(a->started, 1);
    EXPECT_EQ(b->started, 1);
    EXPECT_EQ(rootDone.Count(), 0u);

    EXPECT_TRUE(workflow->Resume());
    ASSERT_TRUE(WaitUntil([&] { return a->started == 2 && b->started == 2; }));
    EXPECT_GE(a->resets, 2);  // reset when queued again
    a->Release();
    b->Release();
    ASSERT_TRUE(rootDone.WaitForCount(1));
    EXPECT_EQ(RootStatus().result, WorkResult::Success);
    EXPECT_EQ(workflow->GetState(), WorkflowState::Complete);
}

TEST_F(WorkflowTest, UnabsorbedRetryableErrorWaitsForRetry) {
    const auto flaky = ScriptedWork::Create({WorkResult::RetryableError, WorkResult::Success});
    const auto after = ScriptedWork::Create({WorkResult::Success});
    const auto root = SequentialWork::Create();
    root->AddWork(flaky);
    root->AddWork(after);
    const auto workflow = Make(root, 2);
    workflow->Start();
    ASSERT_TRUE(WaitUntil([&] { return retryable.Calls() == 1; }));
    EXPECT_EQ(retryable.lastWork, flaky.get());
    EXPECT_EQ(retryable.lastStatus.result, WorkResult::RetryableError);
    EXPECT_EQ(retryable.stateSeen, WorkflowState::WaitingForRetry);
    ASSERT_TRUE(WaitUntil([&] { return workflow->GetReadyCount() == 1; }));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(flaky->runs, 1);

    EXPECT_TRUE(workflow->Pause());
    EXPECT_EQ(workflow->GetState(), WorkflowState::PausedWaitingForRetry);
    EXPECT_TRUE(workflow->Resume());
    EXPECT_EQ(workflow->GetState(), WorkflowState::WaitingForRetry);
    EXPECT_TRUE(workflow->Pause());
    EXPECT_TRUE(workflow->Retry());
    EXPECT_EQ(workflow->GetState(), WorkflowState::Paused);
    EXPECT_FALSE(workflow->Retry());
    std::this_thread::sleep_for(10ms);
    EXPECT_EQ(flaky->runs, 1);
    EXPECT_TRUE(workflow->Resume());
    ASSERT_TRUE(rootDone.WaitForCount(1));
    EXPECT_EQ(RootStatus().result, WorkResult::Success);
    EXPECT_EQ(flaky->runs, 2);
    EXPECT_EQ(after->runs, 1);
    EXPECT_EQ(retryable.Calls(), 1);
}

TEST_F(WorkflowTest, RetryableErrorOfTheRunBeforeARetryDoesNotStopTheRetriedRun) {
    // The slow work ignores Abort: it is under way when the flaky one stops
    // the tree, and its error comes in only after the owner's retry.
    std::atomic<bool> release{false};
    std::atomic<int> slowRuns{0};
    const auto flaky = ScriptedWork::Create({WorkResult::RetryableError, WorkResult::Success});
    const auto slow = ScriptedWork::Create({WorkResult::RetryableError, WorkResult::Success});
    slow->onExecute = [&] {
        if (++slowRuns == 1) {
            WaitUntil([&] { return release.load(); });
        }
    };
    flaky->onExecute = [&] { WaitUntil([&] { return slowRuns >= 1; }); };
    const auto root = ParallelWork::Create();
    root->AddWork(flaky);
    root->AddWork(slow);
    const auto workflow = Make(root, 2);
    workflow->Start();
    ASSERT_TRUE(WaitUntil([&] { return retryable.Calls() == 1; }));
    EXPECT_EQ(retryable.lastWork, flaky.get());

    EXPECT_TRUE(workflow->Retry());
    release = true;
    ASSERT_TRUE(rootDone.WaitForCount(1));
    EXPECT_EQ(RootStatus().result, WorkResult::Success);
    EXPECT_EQ(retryable.Calls(), 1) << "the earlier run's error stopped the retried run";
    EXPECT_EQ(slow->runs, 2) << "the work whose error came late runs again in the retried run";
    EXPECT_EQ(flaky->runs, 2);
}

TEST_F(WorkflowTest, RetryableErrorCallbackMayRetryAtOnce) {
    const auto flaky = ScriptedWork::Create({WorkResult::RetryableError, WorkResult::RetryableError,
                                             WorkResult::Success});
    retryable.onError = [](const std::shared_ptr<Workflow>& workflow) { EXPECT_TRUE(workflow->Retry()); };
    // The root's own callbacks hear every report of the root, so it is wrapped.
    const auto root = SequentialWork::Create();
    root->AddWork(flaky);
    const auto workflow = Make(root, 1);
    workflow->Start();
    ASSERT_TRUE(rootDone.WaitForCount(1));
    EXPECT_EQ(RootStatus().result, WorkResult::Success);
    EXPECT_EQ(flaky->runs, 3);
    EXPECT_EQ(retryable.Calls(), 2);
}

TEST_F(WorkflowTest, AbsorbedRetriesNeverReachTheCallbacks) {
    const auto flaky = ScriptedWork::Create({WorkResult::RetryableError, WorkResult::RetryableError,
                                             WorkResult::Success}, 2);
    const auto workflow = Make(flaky, 1);
    workflow->Start();
    ASSERT_TRUE(rootDone.WaitForCount(1));
    EXPECT_EQ(RootStatus().result, WorkResult::Success);
    EXPECT_EQ(retryable.Calls(), 0);
}

TEST_F(WorkflowTest, LimitedRetrySequenceStopsTheWorkflowWhenItsRetriesAreUsedUp) {
    const auto failing = ScriptedWork::Create({WorkResult::Failure});
    const auto sequence = LimitedRetrySequentialWork::Create(2);
    sequence->AddWork(failing);
    sequence->AddWork(ScriptedWork::Create({WorkResult::Success}));
    const auto workflow = Make(sequence, 4);
    workflow->Start();
    ASSERT_TRUE(WaitUntil([&] { return retryable.Calls() == 1; }));
    EXPECT_EQ(retryable.lastWork, sequence.get());
    EXPECT_FALSE(retryable.lastStatus.retry);
    ASSERT_TRUE(WaitUntil([&] { return workflow->GetReadyCount() == 1 && workflow->GetRunningCount() == 0; }));
    EXPECT_EQ(failing->runs, 3);
    EXPECT_TRUE(workflow->Retry());
    // The retry count survives: one more run and it reports again.
    ASSERT_TRUE(WaitUntil([&] { return retryable.Calls() == 2; }));
    EXPECT_EQ(failing->runs, 4);
    EXPECT_EQ(rootDone.Count(), 2u);
    EXPECT_TRUE(workflow->IsWaitingForRetry());
}

TEST_F(WorkflowTest, FailureEndsTheWorkflowOnlyAtTheRoot) {
    class Branch : public ConditionalWork {
    public:
        Branch(std::shared_ptr<Work> c, std::shared_ptr<Work> t, std::shared_ptr<Work> e) {
            holder_ = {c, t, e};
        }
        void Build() {
            SetCondition(holder_[0]);
            SetThenWork(holder_[1]);
            SetElseWork(holder_[2]);
        }

    private:
        std::vector<std::shared_ptr<Work>> holder_;
    };
    const auto elseWork = ScriptedWork::Create({WorkResult::Success});
    const auto branch = std::make_shared<Branch>(ScriptedWork::Create({WorkResult::Failure}),
                                                 ScriptedWork::Create({WorkResult::Success}), elseWork);
    branch->Build();
    const auto last = ScriptedWork::Create({WorkResult::Failure});
    const auto root = SequentialWork::Create();
    root->AddWork(branch);
    root->AddWork(last);
    const auto workflow = Make(root, 2);
    workflow->Start();
    ASSERT_TRUE(rootDone.WaitForCount(1));
    EXPECT_EQ(elseWork->runs, 1);
    EXPECT_EQ(last->runs, 1);
    EXPECT_EQ(RootStatus().result, WorkResult::Failure);
    EXPECT_EQ(workflow->GetState(), WorkflowState::Complete);
}

TEST_F(WorkflowTest, ErrorAnywhereEndsTheWorkflowAtOnce) {
    const auto gate = GateWork::Create();
    const auto broken = ScriptedWork::Create({WorkResult::Error});
    const auto root = ParallelWork::Create();
    root->AddWork(gate);
    root->AddWork(broken);
    const auto workflow = Make(root, 4);
    workflow->Start();
    ASSERT_TRUE(rootDone.WaitForCount(1));
    EXPECT_EQ(RootStatus().result, WorkResult::Error);
    EXPECT_EQ(test::ErrorMessage(RootStatus()), "run 0");
    EXPECT_EQ(workflow->GetState(), WorkflowState::Complete);
    // The gate, if it had started, is interrupted and not queued again.
    ASSERT_TRUE(WaitUntil([&] { return workflow->GetRunningCount() == 0; }));
    EXPECT_LE(gate->started, 1);
    EXPECT_EQ(workflow->GetReadyCount(), 0u);
    EXPECT_FALSE(workflow->Pause());
}

class ThrowingTaskWork : public SimpleWork {
public:
    void Abort() override {}

protected:
    WorkStatus ExecuteTask() override { throw std::length_error("too long"); }
};

TEST_F(WorkflowTest, ExceptionInATaskEndsTheWorkflowWithItsDescription) {
    const auto root = SequentialWork::Create();
    root->AddWork(std::make_shared<ThrowingTaskWork>());
    const auto workflow = Make(root, 2);
    workflow->Start();
    ASSERT_TRUE(rootDone.WaitForCount(1));
    const WorkStatus status = RootStatus();
    EXPECT_EQ(status.result, WorkResult::Error);
    boost::property_tree::ptree tree;
    root->DescribeStatus(status, tree);
    EXPECT_NE(tree.get<std::string>("workStatus.data.exception").find("length_error"), std::string::npos);
    EXPECT_EQ(tree.get<std::string>("workStatus.data.what"), "too long");
    EXPECT_EQ(workflow->GetState(), WorkflowState::Complete);
}

TEST_F(WorkflowTest, ListenerThatThrowsEndsTheWorkflowInsteadOfStallingIt) {
    class Incomplete : public ConditionalWork {};
    const auto root = SequentialWork::Create();
    root->AddWork(ScriptedWork::Create({WorkResult::Success}));
    root->AddWork(std::make_shared<Incomplete>());  // refuses to be queued
    const auto workflow = Make(root, 2);
    workflow->Start();
    ASSERT_TRUE(rootDone.WaitForCount(1));
    const WorkStatus status = RootStatus();
    EXPECT_EQ(status.result, WorkResult::Error);
    const auto* data = dynamic_cast<const WorkExceptionData*>(status.data.get());
    ASSERT_NE(data, nullptr);
    EXPECT_THROW(data->Rethrow(), std::logic_error);
    EXPECT_TRUE(workflow->IsFinished());
}

TEST_F(WorkflowTest, CancelNotifiesTheRootOnceAndIsFinal) {
    const auto gate = GateWork::Create();
    const auto root = ParallelWork::Create();
    root->AddWork(gate);
    const auto workflow = Make(root, 2);
    workflow->Start();
    ASSERT_TRUE(WaitUntil([&] { return gate->inside == 1; }));
    const WorkStatus abort(WorkResult::Error, std::make_shared<WorkErrorData>("aborted by owner"));
    EXPECT_TRUE(workflow->Cancel(abort));
    EXPECT_EQ(workflow->GetState(), WorkflowState::Cancelled);
    EXPECT_TRUE(workflow->IsFinished());
    ASSERT_EQ(rootDone.Count(), 1u);
    EXPECT_EQ(test::ErrorMessage(RootStatus()), "aborted by owner");
    EXPECT_FALSE(workflow->Cancel(abort));
    EXPECT_FALSE(workflow->Resume());
    ASSERT_TRUE(WaitUntil([&] { return workflow->GetRunningCount() == 0; }));
    EXPECT_EQ(gate->aborts, 1);
    EXPECT_EQ(workflow->GetReadyCount(), 0u);
    EXPECT_EQ(rootDone.Count(), 1u) << "the cancelled gate's report must not reach the root's callbacks";
}

TEST_F(WorkflowTest, CancelEndsTheRootOnceThoughAWorkThatIgnoresAbortFinishesLater) {
    // The stubborn work cannot be interrupted and succeeds after the cancel:
    // as a sequence's last child it completes the sequence, as the root it
    // completes itself. Either way the root already ended with the cancel.
    const WorkStatus abort(WorkResult::Error, std::make_shared<WorkErrorData>("aborted by owner"));
    for (const bool asRoot : {false, true}) {
        SCOPED_TRACE(asRoot ? "simple root" : "sequence root");
        std::atomic<bool> release{false};
        const auto stubborn = ScriptedWork::Create({WorkResult::Success});
        stubborn->onExecute = [&release] { WaitUntil([&release] { return release.load(); }); };
        const auto sequence = SequentialWork::Create();
        sequence->AddWork(stubborn);
        const std::shared_ptr<Work> root = asRoot ? std::shared_ptr<Work>(stubborn) : sequence;
        CompletionRecorder ends;
        root->AddCompleteCallback(&ends);
        const auto workflow = StandardWorkflow::Create(root, &manager, 2);
        workflow->Start();
        ASSERT_TRUE(WaitUntil([&] { return stubborn->runs == 1; }));

        EXPECT_TRUE(workflow->Cancel(abort));
        release = true;
        // The running set empties only after the work's report has gone round.
        ASSERT_TRUE(WaitUntil([&] { return workflow->GetRunningCount() == 0; }));

        EXPECT_EQ(stubborn->aborts, 1);
        EXPECT_EQ(stubborn->runs, 1);
        ASSERT_EQ(ends.Count(), 1u) << "the late success ended the root a second time";
        EXPECT_EQ(test::ErrorMessage(ends.Entries().front().status), "aborted by owner");
        EXPECT_EQ(workflow->GetState(), WorkflowState::Cancelled);
    }
}

TEST_F(WorkflowTest, CancelAfterCompletionNotifiesOnceMore) {
    const auto workflow = Make(ScriptedWork::Create({WorkResult::Success}), 1);
    EXPECT_EQ(workflow->GetState(), WorkflowState::NotStarted);
    EXPECT_FALSE(workflow->IsStarted());
    workflow->Start();
    ASSERT_TRUE(rootDone.WaitForCount(1));
    ASSERT_TRUE(WaitUntil([&] { return workflow->GetState() == WorkflowState::Complete; }));
    EXPECT_TRUE(workflow->Cancel(WorkStatus(WorkResult::Cancelled)));
    ASSERT_EQ(rootDone.Count(), 2u);
    EXPECT_EQ(rootDone.Entries()[1].status.result, WorkResult::Cancelled);
    EXPECT_EQ(workflow->GetState(), WorkflowState::Cancelled);
}

}  // namespace
}  // namespace tvl
