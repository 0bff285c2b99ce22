#include "engine/events/JsonWorkLogManager.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <algorithm>
#include <mutex>
#include <condition_variable>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <thread>

#include "engine/events/JsonLogEventWork.h"
#include "engine/file/PosixSharedFileFactory.h"
#include "engine/work/AsioWorkManager.h"
#include "engine/work/NoOpWork.h"
#include "engine/work/SimpleWork.h"
#include "engine/work/WorkStatusData.h"
#include "tests/engine/events/LogTestSupport.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/TemporaryFolder.h"

namespace tvl {
namespace {

using boost::property_tree::ptree;
using test::FilesIn;
using test::Lines;
using test::LogLine;
using test::ParseLogLine;
using test::ReadFile;

std::time_t Now() {
    return std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
}

void SubmitEvent(EventManager& manager, std::int32_t level, const std::string& key,
                 const std::string& value) {
    const auto record = manager.CreateRecord(level);
    record->GetTree().put(key, value);
    manager.Submit(record);
}

class JsonWorkLogManagerTest : public ::testing::Test {
  protected:
    std::string LogsFolder() const { return root_.Join("Brennic/logs"); }

    std::unique_ptr<JsonWorkLogManager> Manager(std::int32_t mask) {
        return std::make_unique<JsonWorkLogManager>(mask, LogsFolder(), &factory_);
    }

    // The lines of the one log file of the folder; fails the test when there
    // is not exactly one.
    std::vector<std::string> LogLines() {
        const auto files = FilesIn(LogsFolder());
        if (files.size() != 1) {
            ADD_FAILURE() << "expected one log file, found " << files.size();
            return {};
        }
        return Lines(ReadFile(LogsFolder() + "/" + files[0]));
    }

    std::vector<ptree> LoggedTrees() {
        std::vector<ptree> trees;
        for (const auto& line : LogLines()) {
            LogLine parsed;
            if (ParseLogLine(line, &parsed)) {
                trees.push_back(parsed.tree);
            }
        }
        return trees;
    }

    test::TemporaryFolder root_;
    PosixSharedFileFactory factory_;
};

TEST_F(JsonWorkLogManagerTest, WritesATimeStampedCompactJsonLineInAPrivateFolder) {
    const std::time_t before = Now();
    std::string path;
    {
        auto manager = Manager(LogManager::DefaultLevelMask);
        const auto record = manager->CreateRecord(LogManager::TransferEventLevel);
        record->GetTree().put("event", "Start");
        record->GetTree().put("params.transferId", "0123");
        record->GetTree().put("params.destPath", "/home/u/Downloads");
        manager->Submit(record);
    }
    const std::time_t after = Now();

    const auto files = FilesIn(LogsFolder());
    ASSERT_EQ(1u, files.size());
    std::time_t opened = 0;
    for (std::time_t t = before; t <= after; ++t) {
        if (files[0] == LogManager::LogFileName(t, 0)) {
            opened = t;
        }
    }
    EXPECT_NE(0, opened) << files[0] << " is not named by the time of opening";

    const std::string text = ReadFile(LogsFolder() + "/" + files[0]);
    const std::string json =
        "{\"event\":\"Start\",\"params\":{\"transferId\":\"0123\",\"destPath\":\"\\/home\\/u\\/"
        "Downloads\"}}\n";
    ASSERT_EQ(22 + json.size(), text.size()) << text;
    EXPECT_EQ(json, text.substr(22));
    bool prefixMatches = false;
    for (std::time_t t = before; t <= after; ++t) {
        prefixMatches = prefixMatches || text.substr(0, 22) == LogManager::LinePrefix(t);
    }
    EXPECT_TRUE(prefixMatches) << text;

    for (const std::string& folder : {root_.Join("Brennic"), LogsFolder()}) {
        struct stat info {};
        ASSERT_EQ(0, stat(folder.c_str(), &info));
        EXPECT_EQ(0700u, info.st_mode & 0777u) << folder;
    }
}

TEST_F(JsonWorkLogManagerTest, NamesAndPrefixesUseUtc) {
    const std::time_t july8 = 1373301785;  // 2013-07-08 16:43:05 UTC
    EXPECT_EQ("Log.2013.07.08.16.43.05.txt", LogManager::LogFileName(july8, 0));
    EXPECT_EQ("Log.2013.07.08.16.43.05.txt.1", LogManager::LogFileName(july8, 1));
    EXPECT_EQ("Log.2013.07.08.16.43.05.txt.12", LogManager::LogFileName(july8, 12));
    EXPECT_EQ("[2013-07-08 16:43:05] ", LogManager::LinePrefix(july8));
}

TEST_F(JsonWorkLogManagerTest, ARelativeFolderLiesUnderTheUserTemporaryDirectory) {
    test::ScopedEnvironment environment;
    environment.Set("TMPDIR", root_.Path());
    {
        JsonWorkLogManager manager(-1, "Brennic Technologies/Talvane Delivery/logs", &factory_);
        SubmitEvent(manager, 1, "event", "Pause");
    }
    const auto files = FilesIn(root_.Join("Brennic Technologies/Talvane Delivery/logs"));
    ASSERT_EQ(1u, files.size());
    EXPECT_TRUE(std::regex_match(files[0], std::regex(R"(Log\.\d{4}(\.\d\d){5}\.txt)"))) << files[0];
}

struct MaskCase {
    std::int32_t mask;
    std::set<std::string> logged;  // of the levels 1, 2, 4, 8, 18, 20, 24
};

class LevelMaskTest : public JsonWorkLogManagerTest, public ::testing::WithParamInterface<MaskCase> {};

TEST_P(LevelMaskTest, OnlyLevelsSharingABitWithTheMaskAreWritten) {
    {
        auto manager = Manager(GetParam().mask);
        for (const std::int32_t level : {1, 2, 4, 8, 18, 20, 24}) {
            SubmitEvent(*manager, level, "level", std::to_string(level));
        }
    }
    if (GetParam().logged.empty()) {
        EXPECT_FALSE(std::filesystem::exists(LogsFolder())) << "nothing logged must leave no file";
        return;
    }
    std::set<std::string> logged;
    for (const auto& tree : LoggedTrees()) {
        logged.insert(tree.get<std::string>("level"));
    }
    EXPECT_EQ(GetParam().logged, logged);
}

INSTANTIATE_TEST_SUITE_P(Masks, LevelMaskTest,
                         ::testing::Values(MaskCase{-9, {"1", "2", "4", "18", "20", "24"}},
                                           MaskCase{-1, {"1", "2", "4", "8", "18", "20", "24"}},
                                           MaskCase{0, {}}, MaskCase{8, {"8", "24"}},
                                           MaskCase{1 | 4, {"1", "4", "20"}},
                                           MaskCase{16, {"18", "20", "24"}}));

TEST_F(JsonWorkLogManagerTest, DefaultMaskLogsFailedAndImportantCompletionsOnly) {
    {
        auto manager = Manager(LogManager::DefaultLevelMask);
        const auto plain = NoOpWork::Create();
        const auto failed = std::make_shared<test::DescribedWork>("FailingWork", false);
        const auto important = std::make_shared<test::DescribedWork>("TransferPackageWork", true);
        manager->OnWorkComplete(plain, WorkStatus(WorkResult::Success));
        manager->OnWorkComplete(failed,
                                WorkStatus(WorkResult::Error, std::make_shared<WorkErrorData>("broken")));
        manager->OnWorkComplete(important, WorkStatus(WorkResult::Success));
    }
    std::map<std::string, ptree> byName;
    for (const auto& tree : LoggedTrees()) {
        EXPECT_EQ("OnWorkComplete", tree.get<std::string>("event"));
        byName[tree.get<std::string>("params.name")] = tree.get_child("params");
    }
    ASSERT_EQ(2u, byName.size());
    ASSERT_EQ(1u, byName.count("FailingWork"));
    EXPECT_EQ("4", byName["FailingWork"].get<std::string>("workStatus.result"));
    EXPECT_EQ("false", byName["FailingWork"].get<std::string>("workStatus.retry"));
    EXPECT_EQ("broken", byName["FailingWork"].get<std::string>("workStatus.data.errorMessage"));
    ASSERT_EQ(1u, byName.count("TransferPackageWork"));
    EXPECT_EQ("true", byName["TransferPackageWork"].get<std::string>("important"));
    EXPECT_EQ("0", byName["TransferPackageWork"].get<std::string>("workStatus.result"));
    EXPECT_FALSE(byName["TransferPackageWork"].get_child_optional("workStatus.data"));
}

TEST_F(JsonWorkLogManagerTest, MaskEightLogsSuccessfulCompletionsButNotFailures) {
    {
        auto manager = Manager(LogManager::CompletedWorkLevel);
        manager->OnWorkComplete(NoOpWork::Create(), WorkStatus(WorkResult::Failure));
        manager->OnWorkComplete(std::make_shared<test::DescribedWork>("Retryable", false),
                                WorkStatus(WorkResult::RetryableError));
        manager->OnSimpleWorkRetry(std::make_shared<test::DescribedWork>("Retried", false),
                                   WorkStatus(WorkResult::RetryableError));
        SubmitEvent(*manager, LogManager::TransferEventLevel, "event", "Start");
    }
    const auto trees = LoggedTrees();
    ASSERT_EQ(1u, trees.size());
    EXPECT_EQ("NoOpWork", trees[0].get<std::string>("params.name"));
    EXPECT_EQ("1", trees[0].get<std::string>("params.workStatus.result"));
}

TEST_F(JsonWorkLogManagerTest, WorksReportRetriesAndCompletionWhileTheyRun) {
    {
        auto manager = Manager(LogManager::DefaultLevelMask);
        const auto work = std::make_shared<test::DescribedWork>("TransferSingleChunkWork", true,
                                                                WorkResult::RetryableError, 2, 3);
        work->AddRetryCallback(manager.get());
        work->AddCompleteCallback(manager.get());
        AsioWorkManager runner(1, true);
        runner.Execute(work);
    }
    const auto trees = LoggedTrees();
    ASSERT_EQ(3u, trees.size());
    int retries = 0;
    int completions = 0;
    for (const auto& tree : trees) {
        EXPECT_EQ("TransferSingleChunkWork", tree.get<std::string>("params.name"));
        if (tree.get<std::string>("event") == "OnSimpleWorkRetry") {
            ++retries;
            EXPECT_EQ("3", tree.get<std::string>("params.workStatus.result"));
            EXPECT_EQ("true", tree.get<std::string>("params.workStatus.retry"));
            EXPECT_EQ("attempt failed", tree.get<std::string>("params.workStatus.data.errorMessage"));
        } else {
            ++completions;
            EXPECT_EQ("OnWorkComplete", tree.get<std::string>("event"));
            EXPECT_EQ("0", tree.get<std::string>("params.workStatus.result"));
        }
    }
    EXPECT_EQ(2, retries);
    EXPECT_EQ(1, completions);
}

TEST_F(JsonWorkLogManagerTest, LinesFromManyThreadsStayWhole) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 250;
    // Long enough that a torn write would show, with escapes in it.
    const std::string filler = std::string(1500, 'x') + "\"\\/\t\xc3\xa9" + std::string(1500, 'y');
    {
        auto manager = Manager(-1);
        std::vector<std::thread> producers;
        for (int t = 0; t < kThreads; ++t) {
            producers.emplace_back([&, t] {
                for (int i = 0; i < kPerThread; ++i) {
                    const auto record = manager->CreateRecord(LogManager::TransferEventLevel);
                    record->GetTree().put("id", std::to_string(t) + "-" + std::to_string(i));
                    record->GetTree().put("filler", filler);
                    manager->Submit(record);
                }
            });
        }
        for (auto& producer : producers) {
            producer.join();
        }
    }
    std::set<std::string> ids;
    for (const auto& tree : LoggedTrees()) {
        ids.insert(tree.get<std::string>("id"));
        // The reader turns each escaped byte into a code point of its own.
        EXPECT_EQ(std::string(1500, 'x') + "\"\\/\t\xc3\x83\xc2\xa9" + std::string(1500, 'y'),
                  tree.get<std::string>("filler"));
    }
    EXPECT_EQ(static_cast<std::size_t>(kThreads * kPerThread), ids.size());
}

TEST_F(JsonWorkLogManagerTest, DestructionWritesEveryRecordAlreadySubmitted) {
    constexpr int kRecords = 300;
    {
        auto manager = Manager(-1);
        for (int i = 0; i < kRecords; ++i) {
            SubmitEvent(*manager, LogManager::TransferEventLevel, "n", std::to_string(i));
        }
        // Completions queue a second step that itself submits the record.
        for (int i = 0; i < 20; ++i) {
            manager->OnWorkComplete(NoOpWork::Create(), WorkStatus(WorkResult::Success));
        }
    }
    EXPECT_EQ(static_cast<std::size_t>(kRecords + 20), LogLines().size());
}

TEST_F(JsonWorkLogManagerTest, CompletionsFasterThanTheLogsThreadsWaitForTheDiskInsteadOfPilingUp) {
    // Thousands of small files complete their works faster than the lines are
    // written: the queue must stay bounded, and no line may be lost for it.
    constexpr int kCompletions = 5000;
    std::size_t highestBacklog = 0;
    {
        auto manager = Manager(-1);
        std::mutex mutex;
        std::condition_variable released;
        bool open = false;
        // Holds both of the log's threads until the flood is over.
        class Gate : public SimpleWork {
          public:
            Gate(std::mutex& mutex, std::condition_variable& released, bool& open)
                : mutex_(mutex), released_(released), open_(open) {}
            WorkStatus ExecuteTask() override {
                std::unique_lock<std::mutex> lock(mutex_);
                released_.wait_for(lock, std::chrono::seconds(30), [this] { return open_; });
                return WorkStatus(WorkResult::Success);
            }
            void Abort() override {}

          private:
            std::mutex& mutex_;
            std::condition_variable& released_;
            bool& open_;
        };
        manager->Submit(std::make_shared<Gate>(mutex, released, open));
        manager->Submit(std::make_shared<Gate>(mutex, released, open));
        const auto work = std::make_shared<test::DescribedWork>("SmallFileWork", true);
        for (int i = 0; i < kCompletions; ++i) {
            manager->OnWorkComplete(work, WorkStatus(WorkResult::Success));
            highestBacklog = std::max(highestBacklog, manager->GetBacklog());
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            open = true;
        }
        released.notify_all();
    }
    EXPECT_LE(highestBacklog, 1024u + 2u);
    std::size_t completions = 0;
    for (const auto& tree : LoggedTrees()) {
        completions += tree.get<std::string>("params.name") == "SmallFileWork" ? 1 : 0;
    }
    EXPECT_EQ(static_cast<std::size_t>(kCompletions), completions);
}

TEST_F(JsonWorkLogManagerTest, ARecordThatCannotBeWrittenAsJsonIsDroppedAlone) {
    {
        auto manager = Manager(-1);
        const auto bad = manager->CreateRecord(1);
        bad->GetTree().put_value("a value at the top");
        manager->Submit(bad);
        const auto mixed = manager->CreateRecord(1);
        mixed->GetTree().put("a", "value");
        mixed->GetTree().put("a.b", "and a child");
        manager->Submit(mixed);
        SubmitEvent(*manager, 1, "event", "Resume");
    }
    const auto trees = LoggedTrees();
    ASSERT_EQ(1u, trees.size());
    EXPECT_EQ("Resume", trees[0].get<std::string>("event"));
}

TEST_F(JsonWorkLogManagerTest, AFolderThatCannotBeCreatedDropsTheLinesQuietly) {
    { std::ofstream(root_.Join("occupied")) << "a file where the folder should be"; }
    JsonWorkLogManager manager(-1, root_.Join("occupied/logs"), &factory_);
    manager.WriteLine(1, "{\"event\":\"Start\"}\n");
    manager.WriteLine(1, "{\"event\":\"Pause\"}\n");
    EXPECT_EQ("", manager.GetLogFilePath());
    EXPECT_EQ("a file where the folder should be", ReadFile(root_.Join("occupied")));
}

TEST_F(JsonWorkLogManagerTest, ATakenNameGetsACounter) {
    // Every name the manager could pick within the next seconds is taken.
    std::filesystem::create_directories(LogsFolder());
    const std::time_t now = Now();
    for (std::time_t t = now - 1; t <= now + 30; ++t) {
        std::ofstream(LogsFolder() + "/" + LogManager::LogFileName(t, 0)) << "earlier run";
    }
    std::string path;
    {
        auto manager = Manager(-1);
        manager->WriteLine(1, "{}\n");
        path = manager->GetLogFilePath();
    }
    const std::string name = std::filesystem::path(path).filename().string();
    ASSERT_GE(name.size(), 2u);
    EXPECT_EQ(".1", name.substr(name.size() - 2)) << name;
    const std::string taken = name.substr(0, name.size() - 2);
    EXPECT_EQ("earlier run", ReadFile(LogsFolder() + "/" + taken));
    EXPECT_EQ(1u, Lines(ReadFile(path)).size());
}

TEST_F(JsonWorkLogManagerTest, TwoManagersInOneSecondWriteTwoFiles) {
    // The two opens must fall in one second; a tick between them is retried.
    for (int attempt = 0; attempt < 5; ++attempt) {
        std::filesystem::remove_all(LogsFolder());
        auto first = Manager(-1);
        auto second = Manager(-1);
        first->WriteLine(1, "{\"m\":\"1\"}\n");
        second->WriteLine(1, "{\"m\":\"2\"}\n");
        const std::string firstPath = first->GetLogFilePath();
        const std::string secondPath = second->GetLogFilePath();
        ASSERT_NE(firstPath, secondPath);
        if (secondPath != firstPath + ".1") {
            continue;
        }
        first.reset();
        second.reset();
        EXPECT_NE(std::string::npos, ReadFile(firstPath).find("{\"m\":\"1\"}"));
        EXPECT_NE(std::string::npos, ReadFile(secondPath).find("{\"m\":\"2\"}"));
        return;
    }
    FAIL() << "the two managers never opened their files within one second";
}

}  // namespace
}  // namespace tvl
