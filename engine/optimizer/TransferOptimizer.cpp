#include "engine/optimizer/TransferOptimizer.h"

#include <algorithm>
#include <limits>

#include "engine/http/TransferHttpWriter.h"
#include "engine/optimizer/NodeStatistics.h"
#include "engine/optimizer/OptimizedRequestParams.h"
#include "engine/workflow/TransferSharedMapData.h"

namespace tvl {
namespace {

constexpr std::int64_t kInt32Max = std::numeric_limits<std::int32_t>::max();

std::int32_t ClampUnsigned(std::uint64_t value) {
    return static_cast<std::int32_t>(std::min<std::uint64_t>(value, kInt32Max));
}

std::int32_t ClampSigned(std::int64_t value) {
    return static_cast<std::int32_t>(
        std::clamp<std::int64_t>(value, std::numeric_limits<std::int32_t>::min(), kInt32Max));
}

std::uint64_t ChunkSize(const OptimizedRequestParams& params) {
    // Chunk sizes fit 32 bits; the product with the parallelism is taken in
    // 64 bits so that large chunks on many threads do not wrap to a tiny
    // deadline.
    return static_cast<std::uint32_t>(params.RequestBytes());
}

// size * parallelism / bytesPerSecond, at least minimum, at most 2^31 - 1.
// The parallelism matters because the threads share the connection: each
// request gets only its share of the minimum speed.
std::int32_t Deadline(std::uint64_t size, std::uint32_t parallelism, std::uint32_t bytesPerSecond,
                      std::uint32_t minimum) {
    std::uint64_t seconds = 0;
    if (bytesPerSecond >= 1) {
        seconds = size * parallelism / bytesPerSecond;
    }
    return ClampUnsigned(std::max<std::uint64_t>(seconds, minimum));
}

}  // namespace

TransferOptimizer::TransferOptimizer(const TransferSettings& settings)
    : settings_(settings),
      currentConnectTimeoutSeconds_(ClampUnsigned(settings.minConnectTimeoutSeconds)),
      currentLowSpeedTimeSeconds_(ClampUnsigned(settings.minLowSpeedTimeSeconds)) {}

void TransferOptimizer::ReportResult(OptimizedRequestParams& params,
                                     const std::shared_ptr<HttpTransferStatusData>& status) {
    if (!status) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    AdaptTimeouts(params, *status);
    UpdateStatistics(params, status);
}

std::shared_ptr<NodeStatistics> TransferOptimizer::GetStatistics(const NodeManifest& node) {
    return node.GetStatistics();
}

void TransferOptimizer::UpdateStatistics(OptimizedRequestParams& params,
                                         const std::shared_ptr<HttpTransferStatusData>& status) {
    if (!params.selectedNode || !status) {
        return;
    }
    if (auto statistics = GetStatistics(*params.selectedNode)) {
        statistics->Update(status->GetStatus());
    }
}

void TransferOptimizer::OnRequestEnd(OptimizedRequestParams&, const HttpRequestStatus&) {}

bool TransferOptimizer::KeepGoing(const OptimizedRequestParams&, std::uint64_t, double) {
    return true;
}

std::int32_t TransferOptimizer::GetCurrentConnectTimeoutSeconds() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return currentConnectTimeoutSeconds_;
}

std::int32_t TransferOptimizer::GetCurrentLowSpeedTimeSeconds() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return currentLowSpeedTimeSeconds_;
}

void TransferOptimizer::SelectNormal(OptimizedRequestParams& params,
                                     const std::shared_ptr<NodeManifest>& node) const {
    params.selectedNode = node;
    params.freeRetry = false;
    params.exploring = false;
    params.canEscalate =
        static_cast<std::int64_t>(currentConnectTimeoutSeconds_) < settings_.maxConnectTimeoutSeconds ||
        static_cast<std::int64_t>(currentLowSpeedTimeSeconds_) < settings_.maxLowSpeedTimeSeconds;
    params.connectTimeoutSeconds = currentConnectTimeoutSeconds_;
    params.lowSpeedTimeSeconds = currentLowSpeedTimeSeconds_;

    const auto parallelism = static_cast<std::uint32_t>(settings_.workThreads);
    params.timeoutSeconds =
        Deadline(ChunkSize(params), parallelism, settings_.minBytesPerSecond, settings_.minTimeoutSeconds);
    if (settings_.workThreads < 0) {
        params.lowSpeedLimit = 1;
    } else if (settings_.workThreads == 0) {
        params.lowSpeedLimit = ClampUnsigned(settings_.minBytesPerSecond);
    } else {
        params.lowSpeedLimit =
            ClampUnsigned(std::max<std::uint32_t>(settings_.minBytesPerSecond / parallelism, 1));
    }
}

void TransferOptimizer::SelectExploration(OptimizedRequestParams& params,
                                          const std::shared_ptr<NodeManifest>& node) const {
    params.selectedNode = node;
    params.freeRetry = true;
    params.canEscalate = false;
    params.exploring = true;
    params.connectTimeoutSeconds = settings_.explorationConnectTimeoutSeconds;

    const auto parallelism = static_cast<std::uint32_t>(settings_.workThreads);
    params.timeoutSeconds = Deadline(ChunkSize(params), parallelism, settings_.explorationBytesPerSecond,
                                     settings_.explorationMinTimeoutSeconds);
    if (settings_.workThreads > 0 && settings_.explorationBytesPerSecond > 0) {
        params.lowSpeedLimit = ClampUnsigned(settings_.explorationBytesPerSecond / parallelism);
    } else {
        params.lowSpeedLimit = 0;
    }
    params.lowSpeedTimeSeconds = ClampUnsigned(settings_.explorationLowSpeedTimeSeconds);
}

void TransferOptimizer::AdaptTimeouts(const OptimizedRequestParams& params,
                                      const HttpTransferStatusData& status) {
    if (params.exploring || params.stoppedSlow) {
        return;
    }
    constexpr std::int32_t kDoublingLimit = 1073741823;
    switch (status.GetStatus().result) {
        case HttpRequestResult::Success:
            if (currentConnectTimeoutSeconds_ > 0) {
                currentConnectTimeoutSeconds_ = ClampSigned(std::max<std::int64_t>(
                    std::int64_t{currentConnectTimeoutSeconds_} - 1, settings_.minConnectTimeoutSeconds));
            }
            if (currentLowSpeedTimeSeconds_ > 0) {
                currentLowSpeedTimeSeconds_ = ClampSigned(std::max<std::int64_t>(
                    std::int64_t{currentLowSpeedTimeSeconds_} - 1, settings_.minLowSpeedTimeSeconds));
            }
            break;
        case HttpRequestResult::RequestTimeout:
            if (currentConnectTimeoutSeconds_ < kDoublingLimit) {
                currentConnectTimeoutSeconds_ = ClampSigned(std::min<std::int64_t>(
                    std::int64_t{currentConnectTimeoutSeconds_} * 2, settings_.maxConnectTimeoutSeconds));
            }
            if (currentLowSpeedTimeSeconds_ < kDoublingLimit) {
                currentLowSpeedTimeSeconds_ = ClampSigned(std::min<std::int64_t>(
                    std::int64_t{currentLowSpeedTimeSeconds_} * 2, settings_.maxLowSpeedTimeSeconds));
            }
            break;
        default:
            break;
    }
}

}  // namespace tvl
