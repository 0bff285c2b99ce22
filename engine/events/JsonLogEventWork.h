#pragma once

// One record of the work log: its tree becomes one line of the manager's file
// when its level is logged at all. Filled by one producer, then run once on
// one of the manager's threads.

#include <cstdint>

#include "engine/work/TrackEventWork.h"

namespace tvl {

class LogManager;

class JsonLogEventWork : public TrackEventWork {
  public:
    // The manager is not owned; it outlives the records it hands out.
    JsonLogEventWork(std::int32_t level, LogManager* manager) : TrackEventWork(level), manager_(manager) {}

  protected:
    // Success whenever the text was produced, written or not; throws when the
    // tree cannot be written as JSON (the work manager drops the record).
    WorkStatus ExecuteTask() override;

  private:
    LogManager* const manager_;
};

}  // namespace tvl
