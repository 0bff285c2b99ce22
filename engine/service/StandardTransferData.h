#pragma once

// A transfer's data record: its live parameters, its behavior, its progress,
// the manifests its works acquired, its HTTP session and the files its works
// created. Shared by the transfer and every work interface built over it;
// replaced as a whole when the transfer is suspended.
//
// Threading: the fields are read and written under the owning transfer's
// mutex, except the progress counters (lock-free) and the parameters' and
// manifests' reads by works that run after the fields were set.

#include <memory>
#include <string>
#include <unordered_set>

#include "engine/service/MonotonicClock.h"
#include "engine/service/TransferBehavior.h"
#include "engine/service/TransferParams.h"

namespace tvl {

class GeolocationManifest;
class HttpSession;
class NodeListManifest;
class PackageManifest;
class TransferStatusImpl;

class StandardTransferData {
  public:
    // The clock drives the progress status's rate and estimate.
    StandardTransferData(const TransferParams& params, const TransferBehavior& behavior,
                         MillisecondClock clock = MonotonicMilliseconds);
    virtual ~StandardTransferData();
    StandardTransferData(const StandardTransferData&) = delete;
    StandardTransferData& operator=(const StandardTransferData&) = delete;

    TransferParams params;
    const TransferBehavior behavior;
    const std::shared_ptr<TransferStatusImpl> status;
    std::shared_ptr<PackageManifest> package;
    std::shared_ptr<NodeListManifest> nodeList;
    std::shared_ptr<GeolocationManifest> geolocation;
    const std::shared_ptr<HttpSession> httpSession;
    bool deleteFiles = false;
    std::unordered_set<std::string> registeredFiles;
};

}  // namespace tvl
