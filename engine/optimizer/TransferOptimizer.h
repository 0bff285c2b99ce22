#pragma once

// Chooses the node and the timeouts of every chunk request and learns from
// the outcomes. One optimizer serves the whole transfer service: GetNode and
// ReportResult may be called from any thread and are serialised on the
// optimizer's mutex, which covers the choice, the generator and the adaptive
// timeouts shared by all transfers.

#include <cstdint>
#include <memory>
#include <mutex>

#include "engine/service/TransferSettings.h"

namespace tvl {

class HttpTransferStatusData;
struct HttpRequestStatus;
class NodeManifest;
class NodeStatistics;
class OptimizedRequestParams;

class TransferOptimizer {
  public:
    explicit TransferOptimizer(const TransferSettings& settings);
    virtual ~TransferOptimizer() = default;
    TransferOptimizer(const TransferOptimizer&) = delete;
    TransferOptimizer& operator=(const TransferOptimizer&) = delete;

    // Fills params.selectedNode, the three flags and the four request settings.
    // Throws std::invalid_argument when params.nodes is empty.
    virtual void GetNode(OptimizedRequestParams& params) = 0;
    // Adapts the timeouts to the request's result, then accounts the request
    // to the statistics of the selected node's host.
    virtual void ReportResult(OptimizedRequestParams& params,
                              const std::shared_ptr<HttpTransferStatusData>& status);
    // The statistics the optimizer keeps for this node; here the node's own.
    virtual std::shared_ptr<NodeStatistics> GetStatistics(const NodeManifest& node);
    // Does not take the optimizer's mutex: statistics guard themselves.
    virtual void UpdateStatistics(OptimizedRequestParams& params,
                                  const std::shared_ptr<HttpTransferStatusData>& status);

    // Every request GetNode chose ends here once, whatever became of it
    // (also when it never ran: status NotStarted). Base: nothing to do.
    virtual void OnRequestEnd(OptimizedRequestParams& params, const HttpRequestStatus& status);
    // Whether requests chosen here should be asked KeepGoing while they run.
    virtual bool StopsSlowRequests() const { return false; }
    // Whether a chunk request cut short by a reset connection, a timeout or a
    // pause leaves what it wrote for the next request, which then asks only
    // for the rest. A request stopped by KeepGoing always does. Base: no, the
    // chunk is fetched whole again.
    virtual bool ContinuesCutShortRequests() const { return false; }
    // Asked on the request's thread while it runs: false when the request,
    // at the pace it has shown for elapsedSeconds, would finish much later
    // than a fresh request on another candidate. Base: always true.
    virtual bool KeepGoing(const OptimizedRequestParams& params, std::uint64_t bytesWritten,
                           double elapsedSeconds);

    std::int32_t GetCurrentConnectTimeoutSeconds() const;
    std::int32_t GetCurrentLowSpeedTimeSeconds() const;

  protected:
    // A request with the adaptive timeouts and deadlines sized for the minimum
    // speed. Called with mutex_ held.
    void SelectNormal(OptimizedRequestParams& params, const std::shared_ptr<NodeManifest>& node) const;
    // A short, strict probe that does not count against the work's retries.
    void SelectExploration(OptimizedRequestParams& params, const std::shared_ptr<NodeManifest>& node) const;
    // Shorter after a success, twice as long (up to the maximum) after a
    // timeout; probes and requests stopped as too slow leave the timeouts
    // alone. Called with mutex_ held.
    void AdaptTimeouts(const OptimizedRequestParams& params, const HttpTransferStatusData& status);

    mutable std::mutex mutex_;
    const TransferSettings settings_;
    std::int32_t currentConnectTimeoutSeconds_;
    std::int32_t currentLowSpeedTimeSeconds_;
};

}  // namespace tvl
