#pragma once

// One node's request figures since the previous report, as an element of the
// events document: the twelve counters as metrics and the node's host as the
// "cdn" dimension. Built, written and dropped on one thread.

#include <string>

#include "engine/events/AnalyticsRequest.h"
#include "engine/optimizer/NodeStatistics.h"

namespace tvl {

class OptimizerAnalyticsRequest : public EventAnalyticsRequest {
  public:
    OptimizerAnalyticsRequest(const TransferParams& params, std::string cdn,
                              const NodeStatisticsSnapshot& snapshot);

    // "bytes", "successBytes", then the three time sums in seconds, then the
    // request and error counts, all as decimal text.
    void WriteMetrics(boost::property_tree::ptree& metrics) const override;
    // "cdn" = the host.
    void WriteDimensions(boost::property_tree::ptree& dimensions) const override;

  private:
    NodeStatisticsSnapshot snapshot_;
    std::string cdn_;
};

}  // namespace tvl
