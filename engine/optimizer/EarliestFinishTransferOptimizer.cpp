#include "engine/optimizer/EarliestFinishTransferOptimizer.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <stdexcept>

#include "engine/http/HttpRequestStatus.h"
#include "engine/optimizer/OptimizedRequestParams.h"
#include "engine/workflow/TransferSharedMapData.h"

namespace tvl {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();
// Weight 0 keeps a node as the last resort.
constexpr double kZeroWeightFactor = 1e9;

double SteadySeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::uint32_t LargestWeight(const NodeManifestList& nodes) {
    std::uint32_t largest = 0;
    for (const auto& node : nodes) {
        largest = std::max(largest, node->GetWeight());
    }
    return largest;
}

double WeightFactor(std::uint32_t weight, std::uint32_t largest) {
    if (largest == 0) {
        return 1.0;
    }
    return weight == 0 ? kZeroWeightFactor : static_cast<double>(largest) / weight;
}

}  // namespace

EarliestFinishTransferOptimizer::EarliestFinishTransferOptimizer(const TransferSettings& settings)
    : EarliestFinishTransferOptimizer(settings, &SteadySeconds) {}

EarliestFinishTransferOptimizer::EarliestFinishTransferOptimizer(const TransferSettings& settings, Clock clock)
    : ProportionalGamblingTransferOptimizer(settings), clock_(std::move(clock)) {}

EarliestFinishTransferOptimizer::HostLoad& EarliestFinishTransferOptimizer::Load(const std::string& host) {
    return loads_[host];
}

void EarliestFinishTransferOptimizer::Accrue(HostLoad& load, double now) {
    if (now > load.lastChange) {
        load.loadSeconds += load.inFlight * (now - load.lastChange);
    }
    load.lastChange = now;
}

void EarliestFinishTransferOptimizer::Begin(const OptimizedRequestParams& params, HostLoad& load, double now) {
    Accrue(load, now);
    ++load.inFlight;
    starts_[&params] = Start{now, load.loadSeconds};
}

double EarliestFinishTransferOptimizer::Expected(const HostLoad& load, std::uint64_t bytes,
                                                 double weightFactor) const {
    if (!load.measured || !(load.rate > 0)) {
        return kInfinity;
    }
    const double seconds =
        load.latencySeconds + static_cast<double>(bytes) * (static_cast<double>(load.inFlight) + 1) / load.rate;
    return seconds * weightFactor;
}

void EarliestFinishTransferOptimizer::GetNode(OptimizedRequestParams& params) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (params.nodes.empty()) {
        throw std::invalid_argument("TransferOptimizer::GetNode received empty nodelist");
    }
    const double now = clock_();
    if (params.nodes.size() == 1) {
        SelectNormal(params, params.nodes.front());
        Begin(params, Load(params.nodes.front()->GetHost()), now);
        return;
    }

    // One probe at a time per host that has not shown its rate, or that has
    // been left alone so long that what it showed may be stale.
    for (const auto& node : params.nodes) {
        HostLoad& load = Load(node->GetHost());
        const bool stale = load.measured && load.lastEnd >= 0 && now - load.lastEnd > kReprobeSeconds;
        if (load.inFlight == 0 && (!load.measured || stale)) {
            SelectExploration(params, node);
            Begin(params, load, now);
            return;
        }
    }

    const std::uint64_t bytes = params.RequestBytes();
    const std::uint32_t largest = LargestWeight(params.nodes);
    std::shared_ptr<NodeManifest> best;
    double bestSeconds = kInfinity;
    for (const auto& node : params.nodes) {
        const double seconds =
            Expected(Load(node->GetHost()), bytes, WeightFactor(node->GetWeight(), largest));
        if (seconds < bestSeconds) {
            bestSeconds = seconds;
            best = node;
        }
    }
    params.spare = false;
    if (best && params.waitingRequests >= kSpareWaiting && Load(best->GetHost()).inFlight >= kBusyEnough) {
        std::shared_ptr<NodeManifest> spare;
        double spareSeconds = kSpareSeconds;
        for (const auto& node : params.nodes) {
            const HostLoad& load = Load(node->GetHost());
            if (node->GetHost() == best->GetHost() || load.inFlight >= kSpareRequests) {
                continue;
            }
            const double seconds = Expected(load, bytes, WeightFactor(node->GetWeight(), largest));
            if (seconds <= spareSeconds) {
                spareSeconds = seconds;
                spare = node;
            }
        }
        if (spare && spareSeconds > bestSeconds) {
            best = spare;
            params.spare = true;
        }
    }
    if (!best) {
        // Nothing measured yet (every host has its probe out), or nothing
        // delivers: spread over the least loaded.
        std::uint32_t fewest = std::numeric_limits<std::uint32_t>::max();
        for (const auto& node : params.nodes) {
            const std::uint32_t inFlight = Load(node->GetHost()).inFlight;
            if (inFlight < fewest) {
                fewest = inFlight;
                best = node;
            }
        }
    }
    SelectNormal(params, best);
    Begin(params, Load(best->GetHost()), now);
}

void EarliestFinishTransferOptimizer::OnRequestEnd(OptimizedRequestParams& params,
                                                   const HttpRequestStatus& status) {
    if (!params.selectedNode) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    const double now = clock_();
    HostLoad& load = Load(params.selectedNode->GetHost());
    Accrue(load, now);
    Start start;
    const auto found = starts_.find(&params);
    const bool started = found != starts_.end();
    if (started) {
        start = found->second;
        starts_.erase(found);
    }
    if (load.inFlight > 0) {
        --load.inFlight;
    }
    if (status.result == HttpRequestResult::NotStarted || !started) {
        return;
    }
    load.lastEnd = now;
    // A workflow that pauses cancels its requests; that says nothing of the
    // node.
    if (status.result == HttpRequestResult::Aborted) {
        return;
    }
    const double seconds = std::max(now - start.time, 1e-3);
    // The requests of a host share its link: what this one got, times how
    // many were served beside it on average, is what the host delivers.
    const double meanLoad = std::max((load.loadSeconds - start.loadSeconds) / seconds, 1.0);
    const double sample = static_cast<double>(status.bytesWritten) / seconds * meanLoad;
    const double alpha = std::clamp(settings_.statisticsSmoothing, 0.0, 1.0);
    load.rate = load.measured ? (1 - alpha) * load.rate + alpha * sample : sample;
    load.measured = true;
    if (status.result == HttpRequestResult::Success) {
        const double latency = status.firstByteTimeMs / 1000.0;
        load.latencySeconds = load.latencySeconds > 0 ? (1 - alpha) * load.latencySeconds + alpha * latency
                                                      : latency;
    }
}

bool EarliestFinishTransferOptimizer::KeepGoing(const OptimizedRequestParams& params, std::uint64_t bytesWritten,
                                                double elapsedSeconds) {
    const bool tail = params.waitingRequests == 0;
    if (!params.selectedNode || elapsedSeconds < (tail ? kTailStopMinElapsedSeconds : kStopMinElapsedSeconds)) {
        return true;
    }
    // Each stop is a free retry; a chunk that every node would serve slowly
    // must still end.
    const std::size_t nodeCount = params.nodeList ? params.nodeList->GetNodes().size() : 0;
    if (nodeCount < 2 || params.slowStops >= nodeCount || (params.spare && !tail)) {
        return true;
    }
    const std::uint64_t bytes = params.RequestBytes();
    const std::uint64_t remaining = bytes > bytesWritten ? bytes - bytesWritten : 0;
    const double pace = static_cast<double>(bytesWritten) / elapsedSeconds;
    const double projected = pace > 0 ? static_cast<double>(remaining) / pace : kInfinity;

    // The retry goes to the chunk's remaining candidates, or to all nodes
    // again once this was the last of them, and asks only for what this
    // request has not yet written.
    const NodeManifestList& alternatives =
        params.nodes.size() > 1 ? params.nodes : params.nodeList->GetNodes();
    std::lock_guard<std::mutex> lock(mutex_);
    const std::uint32_t largest = LargestWeight(alternatives);
    double bestSeconds = kInfinity;
    for (const auto& node : alternatives) {
        if (node == params.selectedNode || node->GetHost() == params.selectedNode->GetHost()) {
            continue;
        }
        bestSeconds = std::min(
            bestSeconds, Expected(Load(node->GetHost()), remaining, WeightFactor(node->GetWeight(), largest)));
    }
    if (tail) {
        return !(projected > kTailStopFactor * bestSeconds + kTailStopMarginSeconds);
    }
    return !(projected > kStopFactor * bestSeconds + kStopMarginSeconds);
}

EarliestFinishTransferOptimizer::HostLoad EarliestFinishTransferOptimizer::GetHostLoad(
    const std::string& host) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = loads_.find(host);
    return found == loads_.end() ? HostLoad() : found->second;
}

double EarliestFinishTransferOptimizer::ExpectedSeconds(const std::string& host, std::uint64_t bytes) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = loads_.find(host);
    return found == loads_.end() ? kInfinity : Expected(found->second, bytes, 1.0);
}

}  // namespace tvl
