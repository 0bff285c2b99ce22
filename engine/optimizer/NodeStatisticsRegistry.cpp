#include "engine/optimizer/NodeStatisticsRegistry.h"

namespace tvl {

NodeStatisticsRegistry::NodeStatisticsRegistry(const ExponentialNormalNodeStatistics& prototype)
    : prototype_(prototype) {}

std::shared_ptr<ExponentialNormalNodeStatistics> NodeStatisticsRegistry::Get(const std::string& host) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto& entry = statistics_[host];
    if (!entry) {
        entry = std::make_shared<ExponentialNormalNodeStatistics>(prototype_);
    }
    return entry;
}

std::size_t NodeStatisticsRegistry::Size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return statistics_.size();
}

}  // namespace tvl
