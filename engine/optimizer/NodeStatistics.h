#pragma once

// Per-host request figures: plain counters for reports and, in the subclasses,
// a running estimate of the host's request speed for node selection. Update is
// called concurrently from the worker threads that finish chunk requests.

#include <cstdint>
#include <mutex>
#include <utility>

#include "engine/manifest/Manifest.h"
#include "engine/optimizer/DeltaCounter.h"

namespace tvl {

struct HttpRequestStatus;

// Increases since the previous Snapshot of the same statistics.
struct NodeStatisticsSnapshot {
    std::uint64_t bytes = 0;
    std::uint64_t successBytes = 0;
    std::uint32_t firstByteTime = 0;
    std::uint32_t requestTime = 0;
    std::uint32_t successTime = 0;
    std::uint32_t numRequests = 0;
    std::uint32_t numErrors = 0;
    std::uint32_t numConnectFailures = 0;
    std::uint32_t numHttpServerErrors = 0;
    std::uint32_t numConnectionsReset = 0;
    std::uint32_t numDataMismatches = 0;
    std::uint32_t numRequestTimeouts = 0;
};

class NodeStatistics : public OutputManifest {
public:
    NodeStatistics() = default;

    void Write(boost::property_tree::ptree& tree) const override;
    virtual void Update(const HttpRequestStatus& status);
    NodeStatisticsSnapshot Snapshot();

    // An error is a result from InvalidRequest on; Aborted is not one.
    static bool IsError(const HttpRequestStatus& status);
    // Bytes per second of a finished request; 0 for an error. A request
    // counts as taking at least 1 ms.
    static double SpeedSample(const HttpRequestStatus& status);

protected:
    DeltaCounter32 numSuccesses_;
    DeltaCounter32 numErrors_;
    DeltaCounter64 successBytes_;
    DeltaCounter64 bytes_;
    DeltaCounter32 firstByteTime_;
    DeltaCounter32 requestTime_;
    DeltaCounter32 successTime_;
    DeltaCounter32 numConnectFailures_;
    DeltaCounter32 numHttpServerErrors_;
    DeltaCounter32 numConnectionsReset_;
    DeltaCounter32 numDataMismatches_;
    DeltaCounter32 numRequestTimeouts_;
};

// Speed estimate as the mean and variance of all samples (Welford's rule). A
// failure adds count / 10 + 1 zero samples, so it weighs more the longer the
// history.
class NormalNodeStatistics : public NodeStatistics {
public:
    NormalNodeStatistics() = default;

    void Write(boost::property_tree::ptree& tree) const override;
    void Update(const HttpRequestStatus& status) override;
    // (mean, variance) in bytes per second.
    virtual std::pair<double, double> GetDistribution() const;
    std::uint32_t GetCount() const;

protected:
    mutable std::mutex mutex_;
    std::uint32_t count_ = 0;
    double mean_ = 0.0;
    double m2_ = 0.0;  // sum of squared deviations; the variance itself in the exponential kind
};

// Exponentially weighted speed estimate: recent requests count most, and one
// sample per request, failures included.
class ExponentialNormalNodeStatistics : public NormalNodeStatistics {
public:
    explicit ExponentialNormalNodeStatistics(double alpha);
    // A copy of the prototype's estimate and alpha; the counters start at 0.
    explicit ExponentialNormalNodeStatistics(const ExponentialNormalNodeStatistics& prototype);

    void Update(const HttpRequestStatus& status) override;
    std::pair<double, double> GetDistribution() const override;

private:
    double alpha_;
};

}  // namespace tvl
