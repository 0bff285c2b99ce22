#pragma once

// A log manager that works report to directly: registered as a work's
// complete or retry callback, it turns each completion and each immediate
// retry into a record of the work's description and status.
//
// Threading: the callbacks are called on the reporting work's thread, several
// at once; they only queue a record.

#include "engine/events/LogManager.h"
#include "engine/work/WorkCallbacks.h"

namespace tvl {

class WorkLogManager : public LogManager, public WorkCompleteCallback, public SimpleWorkRetryCallback {
  protected:
    using LogManager::LogManager;
};

}  // namespace tvl
