#pragma once

// The optimizer's speed statistics, one object per host, created from a
// prototype on first use and kept for the registry's life (nodes of different
// lists on the same host share one). Safe from any thread.

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "engine/optimizer/NodeStatistics.h"

namespace tvl {

class NodeStatisticsRegistry {
  public:
    explicit NodeStatisticsRegistry(const ExponentialNormalNodeStatistics& prototype);
    NodeStatisticsRegistry(const NodeStatisticsRegistry&) = delete;
    NodeStatisticsRegistry& operator=(const NodeStatisticsRegistry&) = delete;

    std::shared_ptr<ExponentialNormalNodeStatistics> Get(const std::string& host);
    std::size_t Size() const;

  private:
    const ExponentialNormalNodeStatistics prototype_;
    mutable std::mutex mutex_;
    std::unordered_map<std::string, std::shared_ptr<ExponentialNormalNodeStatistics>> statistics_;
};

}  // namespace tvl
