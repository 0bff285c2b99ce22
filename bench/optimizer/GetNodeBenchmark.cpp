// Cost of one node choice with warmed statistics, by number of candidates.
// The single-candidate choice (no simulation, no draw) is the baseline.

#include <benchmark/benchmark.h>

#include <string>

#include "engine/optimizer/ProportionalGamblingTransferOptimizer.h"
#include "tests/engine/optimizer/OptimizerTestSupport.h"

namespace {

using namespace tvl;

std::shared_ptr<testing::FixedNodeList> WarmList(ProportionalGamblingTransferOptimizer& optimizer,
                                                 int count) {
    std::vector<std::string> hosts;
    for (int i = 0; i < count; ++i) {
        hosts.push_back("node" + std::to_string(i) + ".test");
    }
    auto list = testing::MakeNodeList(hosts);
    // Speeds spread over a factor of ten with some noise, so the simulation
    // has real races to run.
    for (int i = 0; i < count; ++i) {
        const auto& node = list->GetNodes()[i];
        for (int s = 0; s < 5; ++s) {
            const std::uint32_t ms = 100 + 900 * i / count + 20 * s;
            optimizer.GetStatistics(*node)->Update(
                testing::Outcome(node->GetHost(), HttpRequestResult::Success, 1048576, ms)->GetStatus());
        }
    }
    return list;
}

void BM_GetNode(benchmark::State& state) {
    TransferSettings settings = testing::TestSettings();
    ProportionalGamblingTransferOptimizer optimizer(settings, 1);
    const auto list = WarmList(optimizer, static_cast<int>(state.range(0)));
    auto params = testing::MakeParams(list);
    for (auto _ : state) {
        optimizer.GetNode(*params);
        benchmark::DoNotOptimize(params->selectedNode.get());
    }
    const std::size_t n = list->GetNodes().size();
    state.counters["trials"] = n > 1 ? SimulationTrials(n, settings.trialsPerNode, settings.maxTrials) : 0;
}

BENCHMARK(BM_GetNode)->Arg(1)->Arg(2)->Arg(10)->Arg(50)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
