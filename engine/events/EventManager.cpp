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
        backlog_.fetch_add(1, std::memory_order_relaxed);
        workManager_.Post([this, record] {
            struct Done {
                std::atomic<std::size_t>& backlog;
                ~Done() { backlog.fetch_sub(1, std::memory_order_relaxed); }
            } done{backlog_};
            record->NotifyComplete(record->Run());
        });
    } catch (...) {
        backlog_.fetch_sub(1, std::memory_order_relaxed);
    }
}

}  // namespace tvl
