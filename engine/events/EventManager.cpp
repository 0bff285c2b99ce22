#include "engine/events/EventManager.h"

#include "engine/work/SimpleWork.h"

namespace tvl {

EventManager::EventManager(std::uint32_t threadCount, bool drainOnDestroy)
    : workManager_(threadCount, drainOnDestroy) {}

EventManager::~EventManager() = default;

void EventManager::Submit(const std::shared_ptr<SimpleWork>& record) {
    // Producers are transfer operations and work callbacks: a record that
    // cannot even be queued is lost rather than failing them.
    try {
        record->Reset();
        workManager_.Execute(record);
    } catch (...) {
    }
}

}  // namespace tvl
