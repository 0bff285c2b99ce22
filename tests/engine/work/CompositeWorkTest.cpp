#include <gtest/gtest.h>

#include <boost/property_tree/ptree.hpp>
#include <stdexcept>
#include <thread>

#include "engine/work/ConditionalWork.h"
#include "engine/work/DeferredWork.h"
#include "engine/work/LimitedRetrySequentialWork.h"
#include "engine/work/NoOpWork.h"
#include "engine/work/ParallelWork.h"
#include "engine/work/SequentialWork.h"
#include "tests/engine/work/WorkTestSupport.h"

namespace tvl {
namespace {

using test::CompletionRecorder;
using test::RecordingWorkflow;
using test::ScriptedWork;

const char kInvalidProgress[] = "Invalid child progress for CompositeWork::OnWorkComplete";

std::shared_ptr<ScriptedWork> Leaf() { return ScriptedWork::Create({WorkResult::Success}); }

void StartTree(const std::shared_ptr<Work>& root, const std::shared_ptr<RecordingWorkflow>& workflow) {
    root->SetWorkflow(workflow);
    root->QueueAvailableWork(workflow);
}

class CompositeTest : public ::testing::Test {
protected:
    std::shared_ptr<RecordingWorkflow> workflow = std::make_shared<RecordingWorkflow>();
    CompletionRecorder recorder;
};

TEST_F(CompositeTest, SequenceStopsAtTheFirstFailure) {
    const auto sequence = SequentialWork::Create(&recorder, 3);
    const auto a = Leaf(), b = Leaf(), c = Leaf();
    sequence->AddWork(a);
    sequence->AddWork(b);
    sequence->AddWork(c);
    sequence->SetPath({4});
    StartTree(sequence, workflow);
    ASSERT_EQ(workflow->queued.size(), 1u);
    EXPECT_EQ(workflow->TakeFirst(), a);
    a->NotifyComplete(WorkStatus(WorkResult::Success));
    ASSERT_EQ(workflow->queued.size(), 1u);
    EXPECT_EQ(workflow->TakeFirst(), b);
    const auto data = std::make_shared<WorkErrorData>("bad chunk");
    b->NotifyComplete(WorkStatus(WorkResult::Failure, data));

    EXPECT_TRUE(workflow->queued.empty());
    ASSERT_EQ(recorder.Count(), 1u);
    EXPECT_EQ(recorder.Entries()[0].status.result, WorkResult::Failure);
    EXPECT_EQ(recorder.Entries()[0].status.data, data);
    EXPECT_EQ(workflow->paths, (std::vector<WorkPath>{{4, 0}, {4, 0}}));
}

TEST_F(CompositeTest, SequenceEndsWithTheLastChildsResultAndDropsSuccessData) {
    const auto sequence = SequentialWork::Create(&recorder);
    const auto a = Leaf(), b = Leaf();
    sequence->AddWork(a);
    sequence->AddWork(b);
    StartTree(sequence, workflow);
    workflow->TakeFirst()->NotifyComplete(WorkStatus(WorkResult::Success));
    workflow->TakeFirst()->NotifyComplete(WorkStatus(WorkResult::Success, std::make_shared<WorkErrorData>("x")));
    ASSERT_EQ(recorder.Count(), 1u);
    EXPECT_EQ(recorder.Entries()[0].status.result, WorkResult::Success);
    EXPECT_EQ(recorder.Entries()[0].status.data, nullptr);
    EXPECT_TRUE(sequence->IsComplete());
    // Late reports after completion are ignored.
    b->NotifyComplete(WorkStatus(WorkResult::Error));
    EXPECT_EQ(recorder.Count(), 1u);
}

TEST_F(CompositeTest, ParallelQueuesAllChildrenNumberedAndSucceedsWhenAllDo) {
    const auto parallel = ParallelWork::Create(&recorder);
    const auto a = Leaf(), b = Leaf(), c = Leaf();
    EXPECT_TRUE(parallel->AddWork(a));
    EXPECT_TRUE(parallel->AddWork(b));
    EXPECT_FALSE(parallel->AddWork(a));
    EXPECT_TRUE(parallel->AddWork(c));
    StartTree(parallel, workflow);
    EXPECT_EQ(workflow->paths, (std::vector<WorkPath>{{0}, {1}, {2}}));
    c->NotifyComplete(WorkStatus(WorkResult::Success));
    a->NotifyComplete(WorkStatus(WorkResult::Cancelled));
    a->NotifyComplete(WorkStatus(WorkResult::RetryableError));
    b->NotifyComplete(WorkStatus(WorkResult::Success));
    EXPECT_EQ(recorder.Count(), 0u);
    a->NotifyComplete(WorkStatus(WorkResult::Success));
    ASSERT_EQ(recorder.Count(), 1u);
    EXPECT_EQ(recorder.Entries()[0].status.result, WorkResult::Success);
}

TEST_F(CompositeTest, ParallelTurnsAFailureIntoErrorWithTheChildsData) {
    const auto parallel = ParallelWork::Create(&recorder);
    const auto a = Leaf(), b = Leaf();
    parallel->AddWork(a);
    parallel->AddWork(b);
    StartTree(parallel, workflow);
    const auto data = std::make_shared<WorkErrorData>("mismatch");
    b->NotifyComplete(WorkStatus(WorkResult::Failure, data));
    ASSERT_EQ(recorder.Count(), 1u);
    EXPECT_EQ(recorder.Entries()[0].status.result, WorkResult::Error);
    EXPECT_EQ(recorder.Entries()[0].status.data, data);
    a->NotifyComplete(WorkStatus(WorkResult::Success));
    EXPECT_EQ(recorder.Count(), 1u);
}

TEST_F(CompositeTest, ChildReportingTwiceFailsTheParallelWork) {
    const auto parallel = ParallelWork::Create(&recorder);
    const auto a = Leaf(), b = Leaf(), c = Leaf();
    parallel->AddWork(a);
    parallel->AddWork(b);
    parallel->AddWork(c);
    StartTree(parallel, workflow);
    a->NotifyComplete(WorkStatus(WorkResult::Success));
    EXPECT_EQ(recorder.Count(), 0u);
    a->NotifyComplete(WorkStatus(WorkResult::Success));
    ASSERT_EQ(recorder.Count(), 1u);
    EXPECT_EQ(recorder.Entries()[0].status.result, WorkResult::Error);
    EXPECT_EQ(test::ErrorMessage(recorder.Entries()[0].status), kInvalidProgress);
}

TEST_F(CompositeTest, ErrorTravelsUpUnchanged) {
    const auto root = SequentialWork::Create(&recorder);
    const auto middle = ParallelWork::Create();
    const auto leaf = Leaf();
    middle->AddWork(Leaf());
    middle->AddWork(leaf);
    root->AddWork(middle);
    root->AddWork(Leaf());
    StartTree(root, workflow);
    EXPECT_EQ(workflow->paths, (std::vector<WorkPath>{{0, 0}, {0, 1}}));
    const WorkStatus error(WorkResult::Error, std::make_shared<WorkErrorData>("boom"));
    leaf->NotifyComplete(error);
    ASSERT_EQ(recorder.Count(), 1u);
    EXPECT_EQ(recorder.Entries()[0].status.result, WorkResult::Error);
    EXPECT_EQ(recorder.Entries()[0].status.data, error.data);
    EXPECT_EQ(workflow->queued.size(), 2u);  // the second child of the root is never queued
}

TEST_F(CompositeTest, ResetLetsACompositeRunAgain) {
    const auto parallel = ParallelWork::Create(&recorder);
    const auto a = Leaf();
    parallel->AddWork(a);
    StartTree(parallel, workflow);
    a->NotifyComplete(WorkStatus(WorkResult::Success));
    EXPECT_TRUE(parallel->IsComplete());
    parallel->Reset();
    EXPECT_FALSE(parallel->IsComplete());
    parallel->QueueAvailableWork(workflow);
    a->NotifyComplete(WorkStatus(WorkResult::Success));
    EXPECT_EQ(recorder.Count(), 2u);
}

std::shared_ptr<test::GeneratedParallelWork> MakeLazy(std::uint32_t capacity, std::size_t count,
                                                      WorkCompleteCallback* callback) {
    return std::make_shared<test::GeneratedParallelWork>(
        capacity, count, [](std::size_t) -> std::shared_ptr<Work> { return Leaf(); }, callback);
}

TEST_F(CompositeTest, LazyParallelKeepsCapacityAndNumbersChildrenInGenerationOrder) {
    const auto lazy = MakeLazy(2, 5, &recorder);
    lazy->SetPath({7});
    StartTree(lazy, workflow);
    std::size_t finished = 0;
    while (!workflow->queued.empty()) {
        EXPECT_LE(workflow->queued.size(), 2u);
        // Complete the newest first so completion order differs from generation order.
        auto work = workflow->queued.back();
        workflow->queued.pop_back();
        work->NotifyComplete(WorkStatus(WorkResult::Success));
        ++finished;
        ASSERT_LE(finished, 5u);
    }
    EXPECT_EQ(finished, 5u);
    ASSERT_EQ(lazy->generated.size(), 5u);
    ASSERT_EQ(workflow->paths.size(), 5u);
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(lazy->generated[i]->GetPath(), (WorkPath{7, static_cast<std::uint32_t>(i)}));
    }
    ASSERT_EQ(recorder.Count(), 1u);
    EXPECT_EQ(recorder.Entries()[0].status.result, WorkResult::Success);
}

TEST_F(CompositeTest, LazyParallelFailsWithErrorOnAFailure) {
    const auto lazy = MakeLazy(3, 10, &recorder);
    StartTree(lazy, workflow);
    const auto data = std::make_shared<WorkErrorData>("nope");
    workflow->TakeFirst()->NotifyComplete(WorkStatus(WorkResult::Failure, data));
    ASSERT_EQ(recorder.Count(), 1u);
    EXPECT_EQ(recorder.Entries()[0].status.result, WorkResult::Error);
    EXPECT_EQ(recorder.Entries()[0].status.data, data);
    EXPECT_EQ(lazy->generated.size(), 3u);
}

TEST(LazyParallelWork, ZeroCapacityIsRefused) {
    try {
        MakeLazy(0, 1, nullptr);
        FAIL() << "created";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "LazyParallelWork::Reserve called with zero capacity");
    }
}

class TestConditional : public ConditionalWork {
public:
    explicit TestConditional(WorkCompleteCallback* callback = nullptr) : ConditionalWork(callback) {}
    using ConditionalWork::SetCondition;
    using ConditionalWork::SetElseWork;
    using ConditionalWork::SetThenWork;
};

TEST_F(CompositeTest, ConditionalRunsTheBranchTheConditionChooses) {
    for (const WorkResult conditionResult : {WorkResult::Success, WorkResult::Failure}) {
        auto recorded = std::make_shared<CompletionRecorder>();
        const auto conditional = std::make_shared<TestConditional>(recorded.get());
        const auto condition = Leaf(), thenWork = Leaf(), elseWork = Leaf();
        conditional->SetCondition(condition);
        conditional->SetThenWork(thenWork);
        conditional->SetElseWork(elseWork);
        conditional->SetThenWork(Leaf());  // ignored: slot already set
        auto flow = std::make_shared<RecordingWorkflow>();
        StartTree(conditional, flow);
        EXPECT_EQ(flow->TakeFirst(), condition);
        condition->NotifyComplete(WorkStatus(conditionResult));
        const auto branch = flow->TakeFirst();
        EXPECT_EQ(branch, conditionResult == WorkResult::Success ? thenWork : elseWork);
        EXPECT_EQ(branch->GetPath(), WorkPath{0});
        // The branch not taken is not expected.
        (branch == thenWork ? elseWork : thenWork)->NotifyComplete(WorkStatus(WorkResult::Success));
        ASSERT_EQ(recorded->Count(), 1u);
        EXPECT_EQ(test::ErrorMessage(recorded->Entries()[0].status), kInvalidProgress);
    }
}

TEST_F(CompositeTest, ConditionalCompletesWithTheElseWorksResult) {
    const auto conditional = std::make_shared<TestConditional>(&recorder);
    const auto condition = Leaf(), thenWork = Leaf(), elseWork = Leaf();
    conditional->SetCondition(condition);
    conditional->SetThenWork(thenWork);
    conditional->SetElseWork(elseWork);
    StartTree(conditional, workflow);
    condition->NotifyComplete(WorkStatus(WorkResult::Failure));
    EXPECT_EQ(recorder.Count(), 0u);
    const auto data = std::make_shared<WorkErrorData>("else said no");
    elseWork->NotifyComplete(WorkStatus(WorkResult::Failure, data));
    ASSERT_EQ(recorder.Count(), 1u);
    EXPECT_EQ(recorder.Entries()[0].status.result, WorkResult::Failure);
    EXPECT_EQ(recorder.Entries()[0].status.data, data);
}

TEST_F(CompositeTest, ConditionalWithoutAllChildrenRefusesToQueue) {
    const auto conditional = std::make_shared<TestConditional>();
    conditional->SetCondition(Leaf());
    conditional->SetThenWork(Leaf());
    conditional->SetWorkflow(workflow);
    try {
        conditional->QueueAvailableWork(workflow);
        FAIL() << "queued";
    } catch (const std::logic_error& e) {
        EXPECT_STREQ(e.what(), "ConditionalWork::QueueAvailableWork called with incomplete children");
    }
    EXPECT_TRUE(workflow->queued.empty());
}

TEST_F(CompositeTest, DeferredWorkWithoutChildRunsANoOpWork) {
    const auto deferred = DeferredWork::Create(&recorder);
    boost::property_tree::ptree tree;
    deferred->Describe(tree);
    EXPECT_EQ(tree.get<std::string>("name"), "DeferredWork");
    StartTree(deferred, workflow);
    ASSERT_EQ(workflow->queued.size(), 1u);
    const auto placeholder = workflow->TakeFirst();
    EXPECT_NE(std::dynamic_pointer_cast<NoOpWork>(placeholder), nullptr);
    EXPECT_FALSE(deferred->SetWork(Leaf()));
    EXPECT_EQ(deferred->GetWork(), placeholder);
    placeholder->NotifyComplete(placeholder->Run());
    ASSERT_EQ(recorder.Count(), 1u);
    EXPECT_EQ(recorder.Entries()[0].status.result, WorkResult::Success);
}

TEST_F(CompositeTest, DeferredWorkRunsTheChildSuppliedBeforeItIsQueued) {
    const auto deferred = DeferredWork::Create(&recorder);
    deferred->SetWorkflow(workflow);
    const auto child = Leaf();
    EXPECT_TRUE(deferred->SetWork(child));
    EXPECT_EQ(child->GetWorkflow(), workflow);
    EXPECT_EQ(child->GetParent(), deferred);
    deferred->QueueAvailableWork(workflow);
    EXPECT_EQ(workflow->TakeFirst(), child);
    child->NotifyComplete(WorkStatus(WorkResult::Failure));
    ASSERT_EQ(recorder.Count(), 1u);
    EXPECT_EQ(recorder.Entries()[0].status.result, WorkResult::Failure);
}

TEST_F(CompositeTest, LimitedRetrySequenceRetriesThenReportsAndQueuesItselfAgain) {
    const auto sequence = LimitedRetrySequentialWork::Create(2, &recorder);
    const auto first = Leaf(), second = Leaf();
    sequence->AddWork(first);
    sequence->AddWork(second);
    StartTree(sequence, workflow);
    for (int attempt = 0; attempt < 3; ++attempt) {
        ASSERT_EQ(workflow->queued.size(), 1u) << attempt;
        EXPECT_EQ(workflow->TakeFirst(), first);
        EXPECT_EQ(recorder.Count(), 0u) << "reported before its retries were used up";
        first->NotifyComplete(WorkStatus(WorkResult::Failure, std::make_shared<WorkErrorData>("bad")));
    }
    ASSERT_EQ(recorder.Count(), 1u);
    const WorkStatus reported = recorder.Entries()[0].status;
    EXPECT_EQ(reported.result, WorkResult::RetryableError);
    EXPECT_FALSE(reported.retry);
    EXPECT_EQ(test::ErrorMessage(reported), "bad");
    EXPECT_EQ(sequence->GetRetries(), 2u);
    // Already queued again for when the workflow retries; the count survives.
    ASSERT_EQ(workflow->queued.size(), 1u);
    EXPECT_EQ(workflow->TakeFirst(), first);
    first->NotifyComplete(WorkStatus(WorkResult::Failure));
    EXPECT_EQ(recorder.Count(), 2u);
    EXPECT_EQ(workflow->TakeFirst(), first);
    first->NotifyComplete(WorkStatus(WorkResult::Success));
    EXPECT_EQ(workflow->TakeFirst(), second);
    second->NotifyComplete(WorkStatus(WorkResult::Success));
    ASSERT_EQ(recorder.Count(), 3u);
    EXPECT_EQ(recorder.Entries()[2].status.result, WorkResult::Success);
    sequence->Reset();
    EXPECT_EQ(sequence->GetRetries(), 0u);
}

TEST_F(CompositeTest, ChildrenCompletingOnManyThreadsCompleteTheParentOnce) {
    constexpr int kChildren = 400;
    const auto parallel = ParallelWork::Create(&recorder);
    parallel->Reserve(kChildren);
    std::vector<std::shared_ptr<ScriptedWork>> children;
    for (int i = 0; i < kChildren; ++i) {
        children.push_back(Leaf());
        parallel->AddWork(children.back());
    }
    StartTree(parallel, workflow);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = t; i < kChildren; i += 4) {
                children[i]->NotifyComplete(WorkStatus(WorkResult::Success));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    ASSERT_EQ(recorder.Count(), 1u);
    EXPECT_EQ(recorder.Entries()[0].status.result, WorkResult::Success);
}

}  // namespace
}  // namespace tvl
