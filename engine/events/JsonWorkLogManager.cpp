#include "engine/events/JsonWorkLogManager.h"

#include <boost/property_tree/ptree.hpp>

#include "engine/events/JsonLogEventWork.h"
#include "engine/events/JsonText.h"
#include "engine/events/SetUpLogRecordWorks.h"

namespace tvl {
namespace {

constexpr std::uint32_t kLogThreads = 2;

// Records waiting for the log's threads beyond which a work's thread writes its
// own record: a package of many small files completes works faster than their
// lines can be written, and the queue would otherwise hold every record of
// the transfer (gigabytes for a hundred thousand files).
constexpr std::size_t kMaxBacklog = 1024;

// The record of a work's completion or retry; false when the mask drops it.
bool DescribeWorkRecord(const LogManager& manager, const Work& work, const WorkStatus& status,
                        std::int32_t outcomeLevel, const char* event, std::int32_t* level,
                        boost::property_tree::ptree* record) {
    *level = (work.IsImportant() ? LogManager::ImportantWorkLevel : 0) + outcomeLevel;
    // Most completions (every chunk's works) are dropped by the usual masks:
    // describing them first would cost more than the download's own work.
    if (!manager.IsLogged(*level)) {
        return false;
    }
    boost::property_tree::ptree description;
    work.DescribeStatus(status, description);
    record->put("event", event);
    record->add_child("params", description);
    return true;
}

void SubmitWorkRecord(LogManager* manager, const Work& work, const WorkStatus& status,
                      std::int32_t outcomeLevel, const char* event) {
    std::int32_t level = 0;
    boost::property_tree::ptree tree;
    if (DescribeWorkRecord(*manager, work, status, outcomeLevel, event, &level, &tree)) {
        const auto record = manager->CreateRecord(level);
        record->GetTree().swap(tree);
        manager->Submit(record);
    }
}

// On the caller's thread, when the log's own threads are too far behind.
void WriteWorkRecord(LogManager* manager, const Work& work, const WorkStatus& status, std::int32_t outcomeLevel,
                     const char* event) {
    std::int32_t level = 0;
    boost::property_tree::ptree tree;
    try {
        if (DescribeWorkRecord(*manager, work, status, outcomeLevel, event, &level, &tree)) {
            manager->WriteLine(level, JsonText(tree));
        }
    } catch (...) {
        // Logging never fails its producer; a record that cannot be made is dropped alone.
    }
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
    if (!IsLogged(level)) {
        return;
    }
    if (GetBacklog() >= kMaxBacklog) {
        WriteWorkRecord(this, *work, status, failed ? FailedWorkLevel : CompletedWorkLevel, "OnWorkComplete");
        return;
    }
    Submit(std::make_shared<SetUpOnCompleteWork>(this, work, status));
}

void JsonWorkLogManager::OnSimpleWorkRetry(const std::shared_ptr<const SimpleWork>& work,
                                           const WorkStatus& status) {
    if (!IsLogged((work->IsImportant() ? ImportantWorkLevel : 0) + RetryLevel)) {
        return;
    }
    if (GetBacklog() >= kMaxBacklog) {
        WriteWorkRecord(this, *work, status, RetryLevel, "OnSimpleWorkRetry");
        return;
    }
    Submit(std::make_shared<SetUpOnRetryWork>(this, work, status));
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
