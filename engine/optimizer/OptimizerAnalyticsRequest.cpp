#include "engine/optimizer/OptimizerAnalyticsRequest.h"

#include <boost/property_tree/ptree.hpp>
#include <locale>
#include <sstream>

namespace tvl {
namespace {

// Milliseconds as seconds with up to 16 significant digits, no trailing
// zeros ("12.345", "0"), independent of the global locale.
std::string Seconds(std::uint32_t milliseconds) {
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out.precision(16);
    out << static_cast<double>(milliseconds) / 1000.0;
    return out.str();
}

}  // namespace

OptimizerAnalyticsRequest::OptimizerAnalyticsRequest(const TransferParams& params, std::string cdn,
                                                     const NodeStatisticsSnapshot& snapshot)
    : EventAnalyticsRequest(params), snapshot_(snapshot), cdn_(std::move(cdn)) {}

void OptimizerAnalyticsRequest::WriteMetrics(boost::property_tree::ptree& metrics) const {
    metrics.put("bytes", snapshot_.bytes);
    metrics.put("successBytes", snapshot_.successBytes);
    metrics.put("firstByteTime", Seconds(snapshot_.firstByteTime));
    metrics.put("requestTime", Seconds(snapshot_.requestTime));
    metrics.put("successTime", Seconds(snapshot_.successTime));
    metrics.put("numRequests", snapshot_.numRequests);
    metrics.put("numErrors", snapshot_.numErrors);
    metrics.put("numConnectFailures", snapshot_.numConnectFailures);
    metrics.put("numHttpServerErrors", snapshot_.numHttpServerErrors);
    metrics.put("numConnectionsReset", snapshot_.numConnectionsReset);
    metrics.put("numDataMismatches", snapshot_.numDataMismatches);
    metrics.put("numRequestTimeouts", snapshot_.numRequestTimeouts);
}

void OptimizerAnalyticsRequest::WriteDimensions(boost::property_tree::ptree& dimensions) const {
    dimensions.put("cdn", cdn_);
}

}  // namespace tvl
