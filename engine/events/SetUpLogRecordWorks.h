#pragma once

// What a work log manager queues when a work reports to it: describing the
// work is left to the log threads, so the reporting thread only copies the
// status and keeps the work alive. Each runs once on one of the manager's
// threads, builds the record at the level the work's outcome and importance
// call for, and submits it.

#include <memory>

#include "engine/work/SimpleWork.h"
#include "engine/work/WorkStatus.h"

namespace tvl {

class LogManager;

// What both hold: the manager (not owned; it outlives the works it queues),
// the reporting work, kept alive until it has been described, and its status.
template <class ReportingWork>
class SetUpLogRecordWork : public SimpleWork {
  public:
    SetUpLogRecordWork(LogManager* manager, std::shared_ptr<const ReportingWork> work, const WorkStatus& status)
        : manager_(manager), work_(std::move(work)), status_(status) {}

    void Abort() override {}

  protected:
    LogManager* const manager_;
    const std::shared_ptr<const ReportingWork> work_;
    const WorkStatus status_;
};

// "OnWorkComplete" at level 2 (failed) or 8, plus 16 for an important work.
class SetUpOnCompleteWork : public SetUpLogRecordWork<Work> {
  public:
    using SetUpLogRecordWork::SetUpLogRecordWork;

  protected:
    WorkStatus ExecuteTask() override;
};

// "OnSimpleWorkRetry" at level 4, plus 16 for an important work.
class SetUpOnRetryWork : public SetUpLogRecordWork<SimpleWork> {
  public:
    using SetUpLogRecordWork::SetUpLogRecordWork;

  protected:
    WorkStatus ExecuteTask() override;
};

}  // namespace tvl
