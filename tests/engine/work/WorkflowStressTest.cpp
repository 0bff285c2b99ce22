// Many works with random results while another thread pauses, resumes,
// retries and cancels the workflow. Every run must end within its time
// budget, never run a work on two threads at once, never exceed the running
// limit, and end with a result the tree allows.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <thread>

#include "engine/work/AsioWorkManager.h"
#include "engine/work/ConditionalWork.h"
#include "engine/work/DeferredWork.h"
#include "engine/work/LimitedRetrySequentialWork.h"
#include "engine/work/ParallelWork.h"
#include "engine/work/SequentialWork.h"
#include "engine/work/StandardWorkflow.h"
#include "tests/engine/work/WorkTestSupport.h"

namespace tvl {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Probe {
    std::atomic<int> inside{0};
    std::atomic<int> maxInside{0};
    std::atomic<int> overlaps{0};
    std::atomic<long> runs{0};
};

struct Odds {
    int retryable = 10;  // percent
    int failure = 0;     // percent, only where the tree absorbs failures
    int error = 0;       // per mille
};

class StressWork : public LimitedRetrySimpleWork {
public:
    StressWork(Probe& probe, Odds odds, std::uint32_t maxRetries, unsigned seed)
        : LimitedRetrySimpleWork(maxRetries), probe_(probe), odds_(odds), random_(seed) {}

    void Abort() override { aborts_.fetch_add(1, std::memory_order_relaxed); }

protected:
    WorkStatus ExecuteTask() override {
        if (busy_.exchange(true)) {
            ++probe_.overlaps;
        }
        const int now = ++probe_.inside;
        int seen = probe_.maxInside.load();
        while (now > seen && !probe_.maxInside.compare_exchange_weak(seen, now)) {
        }
        ++probe_.runs;
        const int roll = static_cast<int>(random_() % 1000);
        if (roll % 7 == 0) {
            std::this_thread::yield();
        }
        WorkResult result = WorkResult::Success;
        if (roll < odds_.error) {
            result = WorkResult::Error;
        } else if (roll < odds_.error + odds_.failure * 10) {
            result = WorkResult::Failure;
        } else if (roll < odds_.error + (odds_.failure + odds_.retryable) * 10) {
            result = WorkResult::RetryableError;
        }
        --probe_.inside;
        busy_.store(false);
        return WorkStatus(result);
    }

private:
    Probe& probe_;
    const Odds odds_;
    std::minstd_rand random_;
    std::atomic<bool> busy_{false};
    std::atomic<int> aborts_{0};
};

class StressConditional : public ConditionalWork {
public:
    void Build(const std::shared_ptr<Work>& c, const std::shared_ptr<Work>& t, const std::shared_ptr<Work>& e) {
        SetCondition(c);
        SetThenWork(t);
        SetElseWork(e);
    }
};

// Builds random trees whose leaves fail only where a composite absorbs it.
class TreeBuilder {
public:
    TreeBuilder(Probe& probe, Odds odds, unsigned seed) : probe_(probe), odds_(odds), random_(seed) {}

    std::shared_ptr<Work> Leaf(bool mayFail) {
        Odds odds = odds_;
        if (!mayFail) {
            odds.failure = 0;
        }
        ++leaves;
        return std::make_shared<StressWork>(probe_, odds, Pick(0, 2), static_cast<unsigned>(random_()));
    }

    std::shared_ptr<Work> Node(int depth) {
        if (depth <= 0) {
            return Leaf(false);
        }
        switch (Pick(0, 5)) {
            case 0: {
                auto sequence = SequentialWork::Create();
                for (int i = Pick(2, 4); i > 0; --i) {
                    sequence->AddWork(Node(depth - 1));
                }
                return sequence;
            }
            case 1: {
                auto parallel = ParallelWork::Create();
                for (int i = Pick(2, 5); i > 0; --i) {
                    parallel->AddWork(Node(depth - 1));
                }
                return parallel;
            }
            case 2: {
                // Children are built up front so that building stays on this thread.
                std::vector<std::shared_ptr<Work>> children;
                for (int i = Pick(5, 60); i > 0; --i) {
                    children.push_back(depth > 2 ? Node(depth - 2) : Leaf(false));
                }
                return std::make_shared<test::GeneratedParallelWork>(
                    static_cast<std::uint32_t>(Pick(1, 6)), children.size(),
                    [children](std::size_t i) { return children[i]; });
            }
            case 3: {
                auto sequence = LimitedRetrySequentialWork::Create(static_cast<std::uint32_t>(Pick(0, 3)));
                for (int i = Pick(1, 3); i > 0; --i) {
                    sequence->AddWork(Leaf(true));
                }
                return sequence;
            }
            case 4: {
                auto conditional = std::make_shared<StressConditional>();
                conditional->Build(Leaf(true), Node(depth - 1), Node(depth - 1));
                return conditional;
            }
            default: {
                auto deferred = DeferredWork::Create();
                if (Pick(0, 1) == 1) {
                    deferred->SetWork(Node(depth - 1));
                }
                return deferred;
            }
        }
    }

    int Pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }

    int leaves = 0;

private:
    Probe& probe_;
    Odds odds_;
    std::mt19937 random_;
};

struct Outcome {
    bool finished = false;
    WorkflowState state = WorkflowState::NotStarted;
    WorkStatus rootStatus;
};

// Drives one workflow with random owner operations until it finishes or its
// budget runs out, then cancels it.
Outcome Drive(const std::shared_ptr<Work>& root, Probe& probe, unsigned seed, std::uint32_t maxRunning,
              std::chrono::milliseconds budget, std::chrono::milliseconds cancelAfter) {
    test::CompletionRecorder rootDone;
    root->AddCompleteCallback(&rootDone);
    Outcome outcome;
    bool cancelled = false;
    {
        AsioWorkManager manager(4, false);
        const auto workflow = StandardWorkflow::Create(root, &manager, maxRunning);
        std::mt19937 random(seed);
        const auto start = Clock::now();
        EXPECT_TRUE(workflow->Start());
        while (!workflow->IsFinished()) {
            const auto elapsed = Clock::now() - start;
            if (elapsed > budget || elapsed > cancelAfter) {
                cancelled = workflow->Cancel(
                    WorkStatus(WorkResult::Error, std::make_shared<WorkErrorData>("stopped")));
                break;
            }
            switch (random() % 8) {
                case 0:
                    workflow->Pause();
                    std::this_thread::sleep_for(std::chrono::microseconds(random() % 300));
                    workflow->Resume();
                    break;
                case 1:
                    workflow->Pause();
                    workflow->Retry();
                    workflow->Resume();
                    break;
                default:
                    workflow->Retry();
                    std::this_thread::sleep_for(std::chrono::microseconds(random() % 200));
                    break;
            }
        }
        EXPECT_TRUE(test::WaitUntil([&] { return workflow->GetRunningCount() == 0; }, 5000ms));
        const long runsAfterEnd = probe.runs;
        std::this_thread::sleep_for(5ms);
        EXPECT_EQ(probe.runs, runsAfterEnd) << "works still started after the workflow ended";
        outcome.state = workflow->GetState();
        outcome.finished = workflow->IsFinished();
        EXPECT_EQ(workflow->GetReadyCount(), 0u);
        EXPECT_LE(probe.maxInside, static_cast<int>(maxRunning));
    }
    EXPECT_EQ(probe.overlaps, 0) << "a work ran on two threads at once";
    ::testing::Test::RecordProperty("runs", static_cast<int>(probe.runs));
    std::printf("seed %u: %ld runs, state %d\n", seed, probe.runs.load(), static_cast<int>(outcome.state));
    // The root ends once by itself or once by the cancel, whatever its works
    // that ignore Abort do afterwards; both only when the cancel came after a
    // completion it could not have seen, in either order.
    std::size_t stops = 0;
    std::size_t ends = 0;
    for (const auto& entry : rootDone.Entries()) {
        if (test::ErrorMessage(entry.status) == "stopped") {
            ++stops;
            outcome.rootStatus = entry.status;
        } else {
            ++ends;
            if (stops == 0) {
                outcome.rootStatus = entry.status;
            }
        }
    }
    EXPECT_EQ(stops, cancelled ? 1u : 0u) << "seed " << seed;
    if (cancelled) {
        EXPECT_LE(ends, 1u) << "seed " << seed;
    } else {
        EXPECT_EQ(ends, 1u) << "seed " << seed;
    }
    return outcome;
}

std::shared_ptr<Work> Forest(TreeBuilder& builder, int trees, int depth) {
    auto root = ParallelWork::Create();
    root->Reserve(static_cast<std::size_t>(trees));
    for (int i = 0; i < trees; ++i) {
        root->AddWork(builder.Node(depth));
    }
    return root;
}

TEST(WorkflowStress, RandomTreesWithoutErrorsSucceedUnderOwnerOperations) {
    for (unsigned seed = 1; seed <= 4; ++seed) {
        Probe probe;
        TreeBuilder builder(probe, Odds{8, 6, 0}, seed);
        const auto root = Forest(builder, 30, 4);
        const Outcome outcome = Drive(root, probe, seed, 1 + seed % 8, 1500ms, 1500ms);
        ASSERT_TRUE(outcome.finished) << "seed " << seed;
        if (outcome.state == WorkflowState::Complete) {
            EXPECT_EQ(outcome.rootStatus.result, WorkResult::Success) << "seed " << seed;
            EXPECT_GE(probe.runs, builder.leaves / 4) << "seed " << seed;
        } else {
            EXPECT_EQ(outcome.state, WorkflowState::Cancelled);
            EXPECT_EQ(test::ErrorMessage(outcome.rootStatus), "stopped");
        }
    }
}

TEST(WorkflowStress, RandomErrorsEndTheWorkflowWithError) {
    for (unsigned seed = 11; seed <= 14; ++seed) {
        Probe probe;
        TreeBuilder builder(probe, Odds{5, 5, 3}, seed);
        const auto root = Forest(builder, 25, 4);
        const Outcome outcome = Drive(root, probe, seed, 6, 1000ms, 1000ms);
        ASSERT_TRUE(outcome.finished) << "seed " << seed;
        if (outcome.state == WorkflowState::Complete) {
            EXPECT_TRUE(outcome.rootStatus.result == WorkResult::Success ||
                        outcome.rootStatus.result == WorkResult::Error)
                << "seed " << seed;
        }
    }
}

TEST(WorkflowStress, CancelFromAnotherThreadWhileWorksRun) {
    for (unsigned seed = 21; seed <= 26; ++seed) {
        Probe probe;
        TreeBuilder builder(probe, Odds{10, 5, 0}, seed);
        const auto root = Forest(builder, 40, 4);
        const Outcome outcome = Drive(root, probe, seed, 8, 1000ms, std::chrono::milliseconds(seed % 5));
        ASSERT_TRUE(outcome.finished);
        EXPECT_TRUE(outcome.state == WorkflowState::Cancelled || outcome.state == WorkflowState::Complete);
        if (outcome.state == WorkflowState::Cancelled) {
            EXPECT_EQ(test::ErrorMessage(outcome.rootStatus), "stopped");
        }
    }
}

TEST(WorkflowStress, ThousandsOfLazyChildrenAllRunAndSucceed) {
    constexpr std::size_t kChildren = 5000;
    Probe probe;
    std::vector<std::shared_ptr<StressWork>> children;
    for (std::size_t i = 0; i < kChildren; ++i) {
        children.push_back(std::make_shared<StressWork>(probe, Odds{0, 0, 0}, 0, static_cast<unsigned>(i)));
    }
    const auto lazy = std::make_shared<test::GeneratedParallelWork>(
        8, kChildren, [&children](std::size_t i) -> std::shared_ptr<Work> { return children[i]; });
    const Outcome outcome = Drive(lazy, probe, 99, 4, 4000ms, 4000ms);
    ASSERT_EQ(outcome.state, WorkflowState::Complete);
    EXPECT_EQ(outcome.rootStatus.result, WorkResult::Success);
    EXPECT_EQ(lazy->generated.size(), kChildren);
    EXPECT_GE(probe.runs, static_cast<long>(kChildren));
    EXPECT_LE(probe.maxInside, 4);
}

}  // namespace
}  // namespace tvl
