#include "engine/events/AnalyticsRequest.h"

#include <boost/property_tree/ptree.hpp>

#include "engine/service/TransferParams.h"

namespace tvl {

EventAnalyticsRequest::EventAnalyticsRequest(const TransferParams& params)
    : pid_(params.partnerId), pkgid_(params.packageId), vid_(params.versionId) {}

void EventAnalyticsRequest::Write(boost::property_tree::ptree& tree) const {
    tree.put("pid", pid_);
    tree.put("pkgid", pkgid_);
    tree.put("vid", vid_);
    boost::property_tree::ptree metrics;
    WriteMetrics(metrics);
    tree.add_child("metrics", metrics);
    boost::property_tree::ptree dimensions;
    WriteDimensions(dimensions);
    tree.add_child("dimensions", dimensions);
}

}  // namespace tvl
