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

// "OnWorkComplete" at level 2 (failed) or 8, plus 16 for an important work.
class SetUpOnCompleteWork : public SimpleWork {
  public:
    // The manager is not owned; it outlives the works it queues.
    SetUpOnCompleteWork(LogManager* manager, std::shared_ptr<const Work> work, const WorkStatus& status)
        : manager_(manager), work_(std::move(work)), status_(status) {}

    void Abort() override {}

  protected:
    WorkStatus ExecuteTask() override;

  private:
    LogManager* const manager_;
    const std::shared_ptr<const Work> work_;
    const WorkStatus status_;
};

// "OnSimpleWorkRetry" at level 4, plus 16 for an important work.
class SetUpOnRetryWork : public SimpleWork {
  public:
    SetUpOnRetryWork(LogManager* manager, std::shared_ptr<const SimpleWork> work, const WorkStatus& status)
        : manager_(manager), work_(std::move(work)), status_(status) {}

    void Abort() override {}

  protected:
    WorkStatus ExecuteTask() override;

  private:
    LogManager* const manager_;
    const std::shared_ptr<const SimpleWork> work_;
    const WorkStatus status_;
};

}  // namespace tvl
