#pragma once

// Sends every chunk request to the node that would finish it soonest, given
// what the node already serves: for each host it keeps the requests in
// flight, the rate the host delivers while busy (all its requests together)
// and the time to the first byte, and expects a new request of S bytes to
// take latency + S * (in flight + 1) / rate. Fast nodes therefore carry
// several requests at once and a slow node gets one only when the fast ones
// are so loaded that it would still finish first; there is no floor that
// hands a slow node a share of every request.
//
// A host without a measured rate is probed with one request at a time
// (the strict timeouts of exploration); a host that has been idle for a
// while is probed again, so that a node that recovers is found. A request
// whose pace shows it would end far later than a fresh one elsewhere is
// stopped (KeepGoing) and retried on another node, which also races the
// end of a transfer: the last chunks do not wait on the slowest node.
//
// Node weights scale the expectation: a node of half the largest weight
// counts as twice as slow. Timeouts adapt as in the base class; the
// registry's statistics are kept as there, for the logs and analytics.
// Thread-safe: everything runs under the optimizer's mutex.

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>

#include "engine/optimizer/ProportionalGamblingTransferOptimizer.h"

namespace tvl {

class EarliestFinishTransferOptimizer : public ProportionalGamblingTransferOptimizer {
  public:
    // Seconds on a monotonic clock.
    using Clock = std::function<double()>;

    explicit EarliestFinishTransferOptimizer(const TransferSettings& settings);
    // A clock of the caller's, for tests.
    EarliestFinishTransferOptimizer(const TransferSettings& settings, Clock clock);

    void GetNode(OptimizedRequestParams& params) override;
    void OnRequestEnd(OptimizedRequestParams& params, const HttpRequestStatus& status) override;
    bool StopsSlowRequests() const override { return true; }
    bool ContinuesCutShortRequests() const override { return true; }
    bool KeepGoing(const OptimizedRequestParams& params, std::uint64_t bytesWritten,
                   double elapsedSeconds) override;

    // What the optimizer knows of a host, for reports and tests.
    struct HostLoad {
        std::uint32_t inFlight = 0;
        bool measured = false;        // rate and latency hold at least one sample
        double rate = 0;              // bytes per second the host delivers while busy
        double latencySeconds = 0;    // to the first byte of a successful request
        double loadSeconds = 0;       // integral of inFlight over time
        double lastChange = 0;        // when inFlight last changed
        double lastEnd = -1;          // when a request last ended; -1: never
    };
    HostLoad GetHostLoad(const std::string& host) const;
    // The seconds a request of `bytes` to this host is expected to take now;
    // infinite for a host without a measured rate.
    double ExpectedSeconds(const std::string& host, std::uint64_t bytes) const;

    // A request is stopped when its projected remaining time exceeds this
    // many times the best alternative's expected time, plus kStopMarginSeconds.
    static constexpr double kStopFactor = 4.0;
    static constexpr double kStopMarginSeconds = 1.0;
    // In the last requests of a transfer nothing waits for the faster node,
    // and a stopped request hands what it has written to the next one, so a
    // stop costs little more than the bytes in flight: any lead is worth it.
    static constexpr double kTailStopFactor = 1.0;
    static constexpr double kTailStopMarginSeconds = 0.05;
    // Before this, a request's pace says too little to judge it; in the last
    // requests of a transfer a fast idle node makes a quicker verdict worth it.
    static constexpr double kStopMinElapsedSeconds = 1.0;
    static constexpr double kTailStopMinElapsedSeconds = 0.1;
    // An idle host is probed again after this long without a request.
    static constexpr double kReprobeSeconds = 20.0;
    // While at least kSpareWaiting other requests wait for a slot and the
    // best node already serves kBusyEnough, a slower node that would finish
    // within kSpareSeconds gets the request (at most kSpareRequests at once):
    // it adds its rate to the transfer. Such a request is left to finish
    // unless the transfer reaches its last requests, when it is judged like
    // any other.
    static constexpr std::size_t kSpareWaiting = 4;
    static constexpr std::uint32_t kBusyEnough = 6;
    static constexpr std::uint32_t kSpareRequests = 6;
    static constexpr double kSpareSeconds = 15.0;

  private:
    HostLoad& Load(const std::string& host);
    void Begin(const OptimizedRequestParams& params, HostLoad& load, double now);
    static void Accrue(HostLoad& load, double now);
    double Expected(const HostLoad& load, std::uint64_t bytes, double weightFactor) const;

    // Where a request's host stood when it began: its rate sample is its own
    // pace times the mean number of requests the host served meanwhile.
    struct Start {
        double time = 0;
        double loadSeconds = 0;
    };

    const Clock clock_;
    std::unordered_map<std::string, HostLoad> loads_;
    std::unordered_map<const OptimizedRequestParams*, Start> starts_;
};

}  // namespace tvl
