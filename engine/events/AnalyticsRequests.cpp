#include <boost/property_tree/ptree.hpp>
#include <locale>
#include <sstream>

#include "engine/events/JsonText.h"
#include "engine/events/SimpleEventAnalyticsRequest.h"
#include "engine/events/TransferAnalyticsRequest.h"
#include "engine/service/TransferParams.h"

namespace tvl {

using boost::property_tree::ptree;

SimpleEventAnalyticsRequest::SimpleEventAnalyticsRequest(const TransferParams& params, std::string counterKey)
    : EventAnalyticsRequest(params), counterKey_(std::move(counterKey)) {}

void SimpleEventAnalyticsRequest::WriteMetrics(ptree& metrics) const {
    // The key is one name, never a path.
    metrics.put(ptree::path_type(counterKey_, '\0'), 1);
}

void SimpleEventAnalyticsRequest::WriteDimensions(ptree& dimensions) const {
    dimensions.put_value(jsonEmptyObject);
}

ErrorAnalyticsRequest::ErrorAnalyticsRequest(const TransferParams& params, std::string counterKey,
                                             std::string error)
    : SimpleEventAnalyticsRequest(params, std::move(counterKey)), error_(std::move(error)) {}

void ErrorAnalyticsRequest::WriteDimensions(ptree& dimensions) const {
    if (error_.empty()) {
        SimpleEventAnalyticsRequest::WriteDimensions(dimensions);
    } else {
        dimensions.put("error", error_);
    }
}

TransferAnalyticsRequest::TransferAnalyticsRequest(const TransferParams& params, TransferState state,
                                                   std::uint64_t transferBytes, std::uint64_t durationMs)
    : pid_(params.partnerId),
      pkgid_(params.packageId),
      vid_(params.versionId),
      tid_(params.transferId),
      state_(static_cast<std::uint8_t>(state)),
      transferBytes_(transferBytes),
      durationMs_(durationMs) {}

const char* TransferAnalyticsRequest::StatusText(std::uint8_t state) {
    switch (static_cast<TransferState>(state)) {
        case TransferState::Suspended:
            return "suspended";
        case TransferState::Completed:
            return "completed";
        case TransferState::Canceled:
            return "canceled";
        default:
            return "active";
    }
}

std::string TransferAnalyticsRequest::DurationText(std::uint64_t durationMs) {
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out.precision(16);
    out << static_cast<double>(durationMs) / 1000.0;
    return out.str();
}

void TransferAnalyticsRequest::Write(ptree& tree) const {
    tree.put("pid", pid_);
    tree.put("pkgid", pkgid_);
    tree.put("vid", vid_);
    tree.put("tid", tid_);
    tree.put("status", StatusText(state_));
    tree.put("transferBytes", transferBytes_);
    tree.put("duration", DurationText(durationMs_));
}

}  // namespace tvl
