#pragma once

// Bets on the fastest node: from each host's speed estimate it simulates which
// candidate would win a race, bends those odds towards the node list's
// weights, keeps every candidate above a floor and draws the node from the
// result. Hosts with fewer than two samples are probed first. Thread-safe as
// its base: every choice runs under the optimizer's mutex.

#include <cstdint>
#include <memory>

#include "engine/optimizer/NodeSelection.h"
#include "engine/optimizer/NodeStatisticsRegistry.h"
#include "engine/optimizer/TransferOptimizer.h"

namespace tvl {

class ProportionalGamblingTransferOptimizer : public TransferOptimizer {
  public:
    // Seeded with the current time in seconds.
    explicit ProportionalGamblingTransferOptimizer(const TransferSettings& settings);
    // A fixed seed makes every choice reproducible.
    ProportionalGamblingTransferOptimizer(const TransferSettings& settings, std::uint32_t seed);

    void GetNode(OptimizedRequestParams& params) override;
    // The registry's statistics of the node's host.
    std::shared_ptr<NodeStatistics> GetStatistics(const NodeManifest& node) override;
    void UpdateStatistics(OptimizedRequestParams& params,
                          const std::shared_ptr<HttpTransferStatusData>& status) override;

    // Probabilities GetNode would draw from for these candidates, after the
    // weighting and the floor, without probing; consumes generator outputs
    // like a choice. For reports and tests.
    std::vector<double> SelectionProbabilities(const OptimizedRequestParams& params);

  private:
    std::vector<double> SelectionProbabilitiesLocked(const OptimizedRequestParams& params);

    SelectionGenerator generator_;
    NodeStatisticsRegistry registry_;
};

}  // namespace tvl
