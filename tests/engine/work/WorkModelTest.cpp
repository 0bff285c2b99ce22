#include <gtest/gtest.h>

#include <boost/property_tree/ptree.hpp>
#include <stdexcept>

#include "engine/work/NoOpWork.h"
#include "engine/work/ParallelWork.h"
#include "tests/engine/work/WorkTestSupport.h"

namespace tvl {
namespace {

using boost::property_tree::ptree;
using test::ScriptedWork;

TEST(WorkStatus, NewStatusIsAnErrorWithoutRetryOrData) {
    const WorkStatus status;
    EXPECT_EQ(status.result, WorkResult::Error);
    EXPECT_FALSE(status.retry);
    EXPECT_EQ(status.data, nullptr);
    EXPECT_FALSE(WorkStatus(WorkResult::RetryableError).retry);
}

TEST(WorkStatus, DescriptionWithoutDataHasOnlyResultAndRetry) {
    WorkStatus status(WorkResult::RetryableError);
    ptree tree;
    status.Describe(tree);
    EXPECT_EQ(tree.size(), 2u);
    EXPECT_EQ(tree.get<std::string>("result"), "3");
    EXPECT_EQ(tree.get<std::string>("retry"), "false");
    status.retry = true;
    ptree again;
    status.Describe(again);
    EXPECT_EQ(again.get<std::string>("retry"), "true");
}

TEST(WorkStatus, DescriptionCarriesTheDataUnderData) {
    const WorkStatus status(WorkResult::Failure, std::make_shared<WorkErrorData>("checksum mismatch"));
    ptree tree;
    status.Describe(tree);
    EXPECT_EQ(tree.get<std::string>("result"), "1");
    EXPECT_EQ(tree.get<std::string>("data.errorMessage"), "checksum mismatch");
    EXPECT_EQ(status.data->GetSummary(), "checksum mismatch");
}

TEST(WorkExceptionData, DescribesAStandardExceptionByTypeAndWhat) {
    std::exception_ptr caught;
    try {
        throw std::runtime_error("disk on fire");
    } catch (...) {
        caught = std::current_exception();
    }
    const WorkExceptionData data(caught);
    ptree tree;
    data.Describe(tree);
    EXPECT_NE(tree.get<std::string>("exception").find("runtime_error"), std::string::npos);
    EXPECT_EQ(tree.get<std::string>("what"), "disk on fire");
    EXPECT_NE(data.GetSummary().find("runtime_error"), std::string::npos);
    EXPECT_THROW(data.Rethrow(), std::runtime_error);
}

TEST(WorkExceptionData, DescribesAThrownIntegerAsUnknownWithoutWhat) {
    const WorkExceptionData data(std::make_exception_ptr(42));
    ptree tree;
    data.Describe(tree);
    EXPECT_EQ(tree.get<std::string>("exception"), "Unknown exception type");
    EXPECT_FALSE(tree.get_optional<std::string>("what"));
    EXPECT_EQ(data.GetSummary(), "Unknown exception type");
}

TEST(WorkExceptionData, EmptyPointerRethrowsALogicErrorAndDescribesIt) {
    const WorkExceptionData data{std::exception_ptr()};
    try {
        data.Rethrow();
        FAIL() << "Rethrow returned";
    } catch (const std::logic_error& e) {
        EXPECT_STREQ(e.what(), "WorkExceptionData::Rethrow called with no exception_ptr");
    }
    ptree tree;
    data.Describe(tree);
    EXPECT_NE(tree.get<std::string>("exception").find("logic_error"), std::string::npos);
    EXPECT_EQ(tree.get<std::string>("what"), "WorkExceptionData::Rethrow called with no exception_ptr");
}

TEST(WorkDescription, StatusGoesUnderWorkStatus) {
    const auto work = NoOpWork::Create();
    ptree tree;
    work->DescribeStatus(WorkStatus(WorkResult::Success), tree);
    EXPECT_EQ(tree.get<std::string>("name"), "NoOpWork");
    EXPECT_EQ(tree.get<std::string>("workStatus.result"), "0");
    EXPECT_EQ(tree.get<std::string>("workStatus.retry"), "false");
}

class RetryCounter : public SimpleWorkRetryCallback {
public:
    void OnSimpleWorkRetry(const std::shared_ptr<const SimpleWork>& work, const WorkStatus& status) override {
        ++calls;
        lastWork = work.get();
        EXPECT_EQ(status.result, WorkResult::RetryableError);
        EXPECT_TRUE(status.retry);
    }
    int calls = 0;
    const SimpleWork* lastWork = nullptr;
};

class ThrowingWork : public LimitedRetrySimpleWork {
public:
    ThrowingWork() : LimitedRetrySimpleWork(5) {}
    void Abort() override {}
    int runs = 0;

protected:
    WorkStatus ExecuteTask() override {
        ++runs;
        throw std::out_of_range("index 7");
    }
};

TEST(SimpleWorkRun, ExceptionBecomesErrorWithItsDescriptionAndIsNeverRetried) {
    const auto work = std::make_shared<ThrowingWork>();
    RetryCounter retries;
    work->AddRetryCallback(&retries);
    const WorkStatus status = work->Run();
    EXPECT_EQ(status.result, WorkResult::Error);
    EXPECT_FALSE(status.retry);
    EXPECT_EQ(work->runs, 1);
    EXPECT_EQ(retries.calls, 0);
    ASSERT_NE(dynamic_cast<WorkExceptionData*>(status.data.get()), nullptr);
    ptree tree;
    status.Describe(tree);
    EXPECT_EQ(tree.get<std::string>("result"), "4");
    EXPECT_NE(tree.get<std::string>("data.exception").find("out_of_range"), std::string::npos);
    EXPECT_EQ(tree.get<std::string>("data.what"), "index 7");
}

TEST(SimpleWorkRun, CancelledWorkDoesNotRunItsTask) {
    const auto work = ScriptedWork::Create({WorkResult::Success});
    work->Cancel();
    const WorkStatus status = work->Run();
    EXPECT_EQ(status.result, WorkResult::Cancelled);
    EXPECT_EQ(status.data, nullptr);
    EXPECT_EQ(work->runs, 0);
    work->Reset();
    EXPECT_EQ(work->Run().result, WorkResult::Success);
    EXPECT_EQ(work->runs, 1);
}

TEST(SimpleWorkRun, RetryableErrorRunsAtMostMaxRetriesPlusOneTimes) {
    const auto work = ScriptedWork::Create({WorkResult::RetryableError}, 2);
    RetryCounter first;
    RetryCounter second;
    work->AddRetryCallback(&first);
    work->AddRetryCallback(&second);
    const WorkStatus status = work->Run();
    EXPECT_EQ(status.result, WorkResult::RetryableError);
    EXPECT_FALSE(status.retry);
    EXPECT_EQ(work->runs, 3);
    EXPECT_EQ(first.calls, 2);
    EXPECT_EQ(second.calls, 2);
    EXPECT_EQ(first.lastWork, work.get());

    // The count starts over after a reset.
    work->Reset();
    EXPECT_EQ(work->GetRetries(), 0u);
    work->Run();
    EXPECT_EQ(work->runs, 6);
}

TEST(SimpleWorkRun, RetryStopsAtTheFirstOtherResult) {
    const auto work = ScriptedWork::Create({WorkResult::RetryableError, WorkResult::Failure}, 4);
    const WorkStatus status = work->Run();
    EXPECT_EQ(status.result, WorkResult::Failure);
    EXPECT_FALSE(status.retry);
    EXPECT_EQ(work->runs, 2);
    EXPECT_EQ(work->GetRetries(), 1u);
}

TEST(SimpleWorkRun, PlainSimpleWorkNeverRetries) {
    const auto work = ScriptedWork::Create({WorkResult::RetryableError}, 0);
    EXPECT_EQ(work->Run().result, WorkResult::RetryableError);
    EXPECT_EQ(work->runs, 1);
}

// Records the order in which listeners hear of a completion.
class OrderProbe : public WorkCompleteCallback {
public:
    OrderProbe(std::vector<std::string>* log, std::string name) : log_(log), name_(std::move(name)) {}
    void OnWorkComplete(const std::shared_ptr<const Work>&, const WorkStatus&) override { log_->push_back(name_); }

private:
    std::vector<std::string>* log_;
    std::string name_;
};

class LoggingWorkflow : public test::RecordingWorkflow {
public:
    explicit LoggingWorkflow(std::vector<std::string>* log) : log_(log) {}
    void OnWorkComplete(const std::shared_ptr<const Work>&, const WorkStatus&) override {
        log_->push_back("workflow");
    }

private:
    std::vector<std::string>* log_;
};

class LoggingParallelWork : public ParallelWork {
public:
    explicit LoggingParallelWork(std::vector<std::string>* log) : log_(log) {}
    void OnWorkComplete(const std::shared_ptr<const Work>& child, const WorkStatus& status) override {
        log_->push_back("parent");
        ParallelWork::OnWorkComplete(child, status);
    }

private:
    std::vector<std::string>* log_;
};

TEST(NotifyComplete, TellsWorkflowThenOwnCallbacksInOrderThenParent) {
    std::vector<std::string> log;
    OrderProbe first(&log, "first");
    OrderProbe second(&log, "second");
    const auto parent = std::make_shared<LoggingParallelWork>(&log);
    const auto child = std::make_shared<ScriptedWork>(std::vector<WorkResult>{WorkResult::Success}, 0, &first);
    child->AddCompleteCallback(&second);
    parent->AddWork(child);
    const auto workflow = std::make_shared<LoggingWorkflow>(&log);
    parent->SetWorkflow(workflow);
    EXPECT_EQ(child->GetWorkflow(), workflow);
    EXPECT_EQ(child->GetParent(), parent);

    child->NotifyComplete(WorkStatus(WorkResult::Success));
    EXPECT_EQ(log, (std::vector<std::string>{"workflow", "first", "second", "parent", "workflow"}));
}

TEST(NotifyComplete, SkipsAWorkflowAndParentThatAreGone) {
    const auto child = ScriptedWork::Create({WorkResult::Success});
    test::CompletionRecorder recorder;
    child->AddCompleteCallback(&recorder);
    {
        const auto parent = ParallelWork::Create();
        parent->AddWork(child);
        parent->SetWorkflow(std::make_shared<test::RecordingWorkflow>());
    }
    EXPECT_EQ(child->GetParent(), nullptr);
    EXPECT_EQ(child->GetWorkflow(), nullptr);
    child->NotifyComplete(WorkStatus(WorkResult::Success));
    EXPECT_EQ(recorder.Count(), 1u);
}

}  // namespace
}  // namespace tvl
