#pragma once

// An EventManager that reports usage to the analytics service: what a
// transfer's behavior names as its analytics manager. Records of kind 1 go to
// the events endpoint, records of kind 32 to the transfers endpoint. Analytics
// are fire-and-forget: no outcome ever reaches the transfer.
//
// Threading: as EventManager.

#include <cstdint>

#include "engine/events/EventManager.h"

namespace tvl {

class AnalyticsManager : public EventManager {
  public:
    static constexpr std::int32_t EventsRecord = 1;
    static constexpr std::int32_t TransfersRecord = 32;

  protected:
    using EventManager::EventManager;
};

}  // namespace tvl
