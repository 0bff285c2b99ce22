#pragma once

// The counting documents of the events endpoint: one counter of a transfer
// event, optionally broken down by the error that raised it:
//   {"pid":...,"pkgid":...,"vid":...,"metrics":{"<counter>":"1"},"dimensions":{}}
// Built, written and dropped on one thread.

#include <string>

#include "engine/events/AnalyticsRequest.h"

namespace tvl {

class SimpleEventAnalyticsRequest : public EventAnalyticsRequest {
  public:
    SimpleEventAnalyticsRequest(const TransferParams& params, std::string counterKey);

    // counterKey = "1".
    void WriteMetrics(boost::property_tree::ptree& metrics) const override;
    // The empty object.
    void WriteDimensions(boost::property_tree::ptree& dimensions) const override;

    const std::string& GetCounterKey() const { return counterKey_; }

  private:
    std::string counterKey_;
};

// "dimensions" = {"error": text} unless the text is empty.
class ErrorAnalyticsRequest : public SimpleEventAnalyticsRequest {
  public:
    ErrorAnalyticsRequest(const TransferParams& params, std::string counterKey, std::string error);

    void WriteDimensions(boost::property_tree::ptree& dimensions) const override;

  private:
    std::string error_;
};

}  // namespace tvl
