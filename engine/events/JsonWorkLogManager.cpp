#include "engine/events/JsonWorkLogManager.h"

#include <boost/property_tree/ptree.hpp>

#include "engine/events/JsonLogEventWork.h"
#include "engine/events/JsonText.h"
#include "engine/events/SetUpLogRecordWorks.h"

namespace tvl {
namespace {

constexpr std::uint32_t kLogThreads = 2;

void SubmitWorkRecord(LogManager* manager, const Work& work, const WorkStatus& status,
                      std::int32_t outcomeLevel, const char* event) {
    const std::int32_t level = (work.IsImportant() ? LogManager::ImportantWorkLevel : 0) + outcomeLevel;
    // Most completions (every chunk's works) are dropped by the usual masks:
    // describing them first would cost more than the download's own work.
    if (!manager->IsLogged(level)) {
        return;
    }
    boost::property_tree::ptree description;
    work.DescribeStatus(status, description);
    const auto record = manager->CreateRecord(level);
    record->GetTree().put("event", event);
    record->GetTree().add_child("params", description);
    manager->Submit(record);
}

}  // namespace

JsonWorkLogManager::JsonWorkLogManager(std::int32_t levelMask, std::string logsFolder,
                                       SharedFileFactory* sharedFileFactory)
    : WorkLogManager(kLogThreads, false, levelMask, std::move(logsFolder), sharedFileFactory) {}

JsonWorkLogManager::~JsonWorkLogManager() {
    // Records still queued call back into this manager, so they run while it is whole.
    Drain();
}

std::shared_ptr<TrackEventWork> JsonWorkLogManager::CreateRecord(std::int32_t level) {
    return std::make_shared<JsonLogEventWork>(level, this);
}

void JsonWorkLogManager::OnWorkComplete(const std::shared_ptr<const Work>& work, const WorkStatus& status) {
    // Decided here, on the work's own thread: a completion the mask drops
    // (every chunk's works under the usual masks) must not cost a hand-off
    // to the log's threads.
    const bool failed = status.result == WorkResult::RetryableError || status.result == WorkResult::Error;
    const std::int32_t level =
        (work->IsImportant() ? ImportantWorkLevel : 0) + (failed ? FailedWorkLevel : CompletedWorkLevel);
    if (IsLogged(level)) {
        Submit(std::make_shared<SetUpOnCompleteWork>(this, work, status));
    }
}

void JsonWorkLogManager::OnSimpleWorkRetry(const std::shared_ptr<const SimpleWork>& work,
                                           const WorkStatus& status) {
    if (IsLogged((work->IsImportant() ? ImportantWorkLevel : 0) + RetryLevel)) {
        Submit(std::make_shared<SetUpOnRetryWork>(this, work, status));
    }
}

WorkStatus JsonLogEventWork::ExecuteTask() {
    if (manager_->IsLogged(GetKind())) {
        manager_->WriteLine(GetKind(), JsonText(GetTree()));
    }
    return WorkStatus(WorkResult::Success);
}

WorkStatus SetUpOnCompleteWork::ExecuteTask() {
    const bool failed = status_.result == WorkResult::RetryableError || status_.result == WorkResult::Error;
    SubmitWorkRecord(manager_, *work_, status_,
                     failed ? LogManager::FailedWorkLevel : LogManager::CompletedWorkLevel, "OnWorkComplete");
    return WorkStatus(WorkResult::Success);
}

WorkStatus SetUpOnRetryWork::ExecuteTask() {
    SubmitWorkRecord(manager_, *work_, status_, LogManager::RetryLevel, "OnSimpleWorkRetry");
    return WorkStatus(WorkResult::Success);
}

}  // namespace tvl
