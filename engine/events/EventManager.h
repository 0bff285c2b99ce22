#pragma once

// The record protocol shared by the work log and the analytics managers: a
// producer asks for a record of some kind, fills its property tree and submits
// it; the manager runs the record once on a work manager of its own, so that
// producers never format text or do input and output themselves.
//
// Threading: CreateRecord and Submit may be called from any thread. A derived
// manager whose records call back into it must Drain first thing in its own
// destructor, while it is still whole.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "engine/work/AsioWorkManager.h"

namespace tvl {

class SimpleWork;
class TrackEventWork;

class EventManager {
  public:
    EventManager(const EventManager&) = delete;
    EventManager& operator=(const EventManager&) = delete;
    virtual ~EventManager();

    // A new record with an empty tree; the kind says what it is and where it goes.
    virtual std::shared_ptr<TrackEventWork> CreateRecord(std::int32_t kind) = 0;
    // Resets the record and has it run once on one of the manager's threads;
    // never throws (a record that cannot be queued is dropped).
    virtual void Submit(const std::shared_ptr<SimpleWork>& record);

    // Records submitted that have not finished running.
    std::size_t GetBacklog() const { return backlog_.load(std::memory_order_relaxed); }

  protected:
    EventManager(std::uint32_t threadCount, bool drainOnDestroy);

    // Runs every record already submitted (and those they submit) to its end;
    // afterwards nothing submitted runs any more.
    void Drain() { workManager_.Drain(); }

  private:
    std::atomic<std::size_t> backlog_{0};
    AsioWorkManager workManager_;
};

}  // namespace tvl
