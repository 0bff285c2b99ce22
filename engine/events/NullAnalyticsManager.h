#pragma once

// The analytics manager of a service that sends no analytics: its records do
// nothing, and it has no threads to run them on. Submitted records are let go
// at once: held until the manager goes, they would pile up for as long as the
// service runs. Any thread.

#include "engine/events/AnalyticsManager.h"
#include "engine/work/TrackEventWork.h"

namespace tvl {

class NullTrackEventWork : public TrackEventWork {
  public:
    explicit NullTrackEventWork(std::int32_t kind) : TrackEventWork(kind) {}

  protected:
    WorkStatus ExecuteTask() override { return WorkStatus(WorkResult::Success); }
};

class NullAnalyticsManager : public AnalyticsManager {
  public:
    NullAnalyticsManager() : AnalyticsManager(0, false) {}

    std::shared_ptr<TrackEventWork> CreateRecord(std::int32_t kind) override {
        return std::make_shared<NullTrackEventWork>(kind);
    }

    void Submit(const std::shared_ptr<SimpleWork>&) override {}
};

}  // namespace tvl
