#include "engine/events/EventManager.h"

#include "engine/work/SimpleWork.h"

namespace tvl {

EventManager::EventManager(std::uint32_t threadCount, bool drainOnDestroy)
    : workManager_(threadCount, drainOnDestroy) {}

EventManager::~EventManager() = default;

void EventManager::Submit(const std::shared_ptr<SimpleWork>& record) {
    record->Reset();
    workManager_.Execute(record);
}

}  // namespace tvl
