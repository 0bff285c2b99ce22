#pragma once

// The documents posted to the analytics events endpoint. Each request writes
// itself into a record's property tree; the analytics manager turns the tree
// into the body. A request is built, written and dropped on one thread.

#include <string>

#include "engine/manifest/Manifest.h"

namespace tvl {

class TransferParams;

// {"pid":...,"pkgid":...,"vid":...,"metrics":{...},"dimensions":{...}}: the
// transfer's identity, then what was counted and what it is broken down by.
class EventAnalyticsRequest : public OutputManifest {
  public:
    explicit EventAnalyticsRequest(const TransferParams& params);

    void Write(boost::property_tree::ptree& tree) const override;
    virtual void WriteMetrics(boost::property_tree::ptree& metrics) const = 0;
    virtual void WriteDimensions(boost::property_tree::ptree& dimensions) const = 0;

    const std::string& GetPartnerId() const { return pid_; }
    const std::string& GetPackageId() const { return pkgid_; }
    const std::string& GetVersionId() const { return vid_; }

  private:
    std::string pid_;
    std::string pkgid_;
    std::string vid_;
};

}  // namespace tvl
