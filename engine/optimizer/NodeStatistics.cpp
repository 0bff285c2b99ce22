#include "engine/optimizer/NodeStatistics.h"

#include <algorithm>
#include <boost/property_tree/ptree.hpp>
#include <cmath>
#include <limits>

#include "engine/http/HttpRequestStatus.h"

namespace tvl {
namespace {

std::uint64_t ToUnsigned64(double value) {
    if (!(value >= 0.0)) {
        return 0;  // negative or NaN
    }
    if (value >= 18446744073709551616.0) {
        return std::numeric_limits<std::uint64_t>::max();
    }
    return static_cast<std::uint64_t>(value);
}

std::uint32_t AtLeastOne(std::uint32_t ms) { return std::max<std::uint32_t>(ms, 1); }

}  // namespace

bool NodeStatistics::IsError(const HttpRequestStatus& status) {
    return static_cast<std::uint8_t>(status.result) >= static_cast<std::uint8_t>(HttpRequestResult::InvalidRequest);
}

double NodeStatistics::SpeedSample(const HttpRequestStatus& status) {
    if (IsError(status)) {
        return 0.0;
    }
    return static_cast<double>(status.bytesWritten) * 1000.0 / static_cast<double>(AtLeastOne(status.requestTimeMs));
}

void NodeStatistics::Update(const HttpRequestStatus& status) {
    bytes_.Add(status.bytesWritten);
    firstByteTime_.Add(AtLeastOne(status.firstByteTimeMs));
    requestTime_.Add(AtLeastOne(status.requestTimeMs));
    if (IsError(status)) {
        numErrors_.Add(1);
        switch (status.result) {
            case HttpRequestResult::ConnectFailure:
                numConnectFailures_.Add(1);
                break;
            case HttpRequestResult::HttpServerError:
                numHttpServerErrors_.Add(1);
                break;
            case HttpRequestResult::ConnectionReset:
                numConnectionsReset_.Add(1);
                break;
            case HttpRequestResult::DataMismatch:
                numDataMismatches_.Add(1);
                break;
            case HttpRequestResult::RequestTimeout:
                numRequestTimeouts_.Add(1);
                break;
            default:
                break;
        }
    } else {
        numSuccesses_.Add(1);
        successBytes_.Add(status.bytesWritten);
        successTime_.Add(AtLeastOne(status.requestTimeMs));
    }
}

NodeStatisticsSnapshot NodeStatistics::Snapshot() {
    NodeStatisticsSnapshot snapshot;
    snapshot.bytes = bytes_.TakeDelta();
    snapshot.successBytes = successBytes_.TakeDelta();
    snapshot.firstByteTime = firstByteTime_.TakeDelta();
    snapshot.requestTime = requestTime_.TakeDelta();
    snapshot.successTime = successTime_.TakeDelta();
    snapshot.numErrors = numErrors_.TakeDelta();
    snapshot.numRequests = snapshot.numErrors + numSuccesses_.TakeDelta();
    snapshot.numConnectFailures = numConnectFailures_.TakeDelta();
    snapshot.numHttpServerErrors = numHttpServerErrors_.TakeDelta();
    snapshot.numConnectionsReset = numConnectionsReset_.TakeDelta();
    snapshot.numDataMismatches = numDataMismatches_.TakeDelta();
    snapshot.numRequestTimeouts = numRequestTimeouts_.TakeDelta();
    return snapshot;
}

void NodeStatistics::Write(boost::property_tree::ptree& tree) const {
    const std::uint32_t errors = numErrors_.Value();
    tree.put("Requests", static_cast<std::uint64_t>(numSuccesses_.Value()) + errors);
    tree.put("Errors", errors);
    tree.put("Bytes", bytes_.Value());
    const std::uint32_t requestTime = requestTime_.Value();
    const std::uint64_t speed =
        requestTime == 0 ? 0
                         : ToUnsigned64(static_cast<double>(successBytes_.Value()) /
                                        (static_cast<double>(requestTime) / 1000.0));
    tree.put("Average Request Speed", speed);
}

void NormalNodeStatistics::Write(boost::property_tree::ptree& tree) const {
    NodeStatistics::Write(tree);
    const auto [mean, variance] = GetDistribution();
    tree.put("Average Request Speed", ToUnsigned64(mean));
    tree.put("Standard Deviation", ToUnsigned64(std::sqrt(variance)));
}

void NormalNodeStatistics::Update(const HttpRequestStatus& status) {
    std::lock_guard<std::mutex> lock(mutex_);
    NodeStatistics::Update(status);
    const double x = SpeedSample(status);
    const std::uint32_t samples = IsError(status) ? count_ / 10 + 1 : 1;
    for (std::uint32_t i = 0; i < samples; ++i) {
        ++count_;
        const double delta = x - mean_;
        mean_ += delta / count_;
        m2_ += (x - mean_) * delta;
    }
}

std::pair<double, double> NormalNodeStatistics::GetDistribution() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (count_ > 1) {
        return {mean_, m2_ / (count_ - 1)};
    }
    return {mean_, 1.0};
}

std::uint32_t NormalNodeStatistics::GetCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_;
}

ExponentialNormalNodeStatistics::ExponentialNormalNodeStatistics(double alpha) : alpha_(alpha) {}

ExponentialNormalNodeStatistics::ExponentialNormalNodeStatistics(const ExponentialNormalNodeStatistics& prototype)
    : NormalNodeStatistics(), alpha_(prototype.alpha_) {
    std::lock_guard<std::mutex> lock(prototype.mutex_);
    count_ = prototype.count_;
    mean_ = prototype.mean_;
    m2_ = prototype.m2_;
}

void ExponentialNormalNodeStatistics::Update(const HttpRequestStatus& status) {
    std::lock_guard<std::mutex> lock(mutex_);
    NodeStatistics::Update(status);
    const double x = SpeedSample(status);
    ++count_;
    const double newMean = (1.0 - alpha_) * mean_ + alpha_ * x;
    m2_ = (1.0 - alpha_) * m2_ + alpha_ * (x - mean_) * (x - newMean);
    mean_ = newMean;
}

std::pair<double, double> ExponentialNormalNodeStatistics::GetDistribution() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return {mean_, m2_};
}

}  // namespace tvl
