#include "engine/optimizer/ProportionalGamblingTransferOptimizer.h"

#include <ctime>
#include <stdexcept>

#include "engine/http/TransferHttpWriter.h"
#include "engine/optimizer/OptimizedRequestParams.h"

namespace tvl {
namespace {

constexpr std::uint32_t kSamplesBeforeBetting = 2;

std::uint32_t TimeSeed() {
    return static_cast<std::uint32_t>(std::time(nullptr));
}

}  // namespace

ProportionalGamblingTransferOptimizer::ProportionalGamblingTransferOptimizer(const TransferSettings& settings)
    : ProportionalGamblingTransferOptimizer(settings, TimeSeed()) {}

ProportionalGamblingTransferOptimizer::ProportionalGamblingTransferOptimizer(const TransferSettings& settings,
                                                                             std::uint32_t seed)
    : TransferOptimizer(settings),
      generator_(seed),
      registry_(ExponentialNormalNodeStatistics(settings.statisticsSmoothing)) {}

void ProportionalGamblingTransferOptimizer::GetNode(OptimizedRequestParams& params) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (params.nodes.empty()) {
        throw std::invalid_argument("TransferOptimizer::GetNode received empty nodelist");
    }
    if (params.nodes.size() == 1) {
        SelectNormal(params, params.nodes.front());
        return;
    }

    std::vector<std::size_t> unexplored;
    for (std::size_t i = 0; i < params.nodes.size(); ++i) {
        if (registry_.Get(params.nodes[i]->GetHost())->GetCount() < kSamplesBeforeBetting) {
            unexplored.push_back(i);
        }
    }
    if (!unexplored.empty()) {
        const std::uint32_t pick = UniformInt(generator_, static_cast<std::uint32_t>(unexplored.size() - 1));
        SelectExploration(params, params.nodes[unexplored[pick]]);
        return;
    }

    const AliasTable table(SelectionProbabilitiesLocked(params));
    SelectNormal(params, params.nodes[table.Draw(generator_)]);
}

std::vector<double> ProportionalGamblingTransferOptimizer::SelectionProbabilities(
    const OptimizedRequestParams& params) {
    std::lock_guard<std::mutex> lock(mutex_);
    return SelectionProbabilitiesLocked(params);
}

std::vector<double> ProportionalGamblingTransferOptimizer::SelectionProbabilitiesLocked(
    const OptimizedRequestParams& params) {
    const std::size_t n = params.nodes.size();
    SpeedDistributions distributions;
    std::vector<std::uint32_t> weights;
    distributions.reserve(n);
    weights.reserve(n);
    for (const auto& node : params.nodes) {
        distributions.push_back(registry_.Get(node->GetHost())->GetDistribution());
        weights.push_back(node->GetWeight());
    }
    const std::uint32_t trials = SimulationTrials(n, settings_.trialsPerNode, settings_.maxTrials);
    std::vector<double> probabilities =
        WeightProbabilities(SimulateFastest(distributions, trials, generator_), weights);
    ApplyProbabilityFloor(probabilities, settings_.minSelectionProbability);
    return probabilities;
}

std::shared_ptr<NodeStatistics> ProportionalGamblingTransferOptimizer::GetStatistics(
    const NodeManifest& node) {
    return registry_.Get(node.GetHost());
}

void ProportionalGamblingTransferOptimizer::UpdateStatistics(
    OptimizedRequestParams& params, const std::shared_ptr<HttpTransferStatusData>& status) {
    if (!params.selectedNode || !status) {
        return;
    }
    registry_.Get(params.selectedNode->GetHost())->Update(status->GetStatus());
}

}  // namespace tvl
