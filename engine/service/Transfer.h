#pragma once

// One download (or verification) of one package version into one
// destination folder, driven by the service's operations and by its work
// tree's reports. Every operation returns the transfer's status; one the
// transfer's state does not allow changes nothing. All operations may be
// called from any thread.

#include <memory>
#include <string>

#include "engine/service/TransferStatus.h"

namespace tvl {

class TransferWorkInterface;

class Transfer {
  public:
    virtual ~Transfer() = default;
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    virtual TransferStatus Initialize() = 0;
    virtual TransferStatus Start(const std::string& destination) = 0;
    virtual bool CanTransferTo(const std::string& destination) = 0;
    virtual bool IsSuperset(const std::string& destination, bool ignoreHidden) = 0;
    virtual bool IsSubset(const std::string& destination, bool confirmSize) = 0;
    virtual TransferStatus GetStatus() = 0;
    virtual TransferStatus Cancel(bool deleteFiles) = 0;
    virtual TransferStatus Pause() = 0;
    virtual TransferStatus Resume() = 0;
    virtual TransferStatus Retry() = 0;
    virtual TransferStatus Suspend() = 0;
    virtual TransferStatus Restore() = 0;
    virtual std::shared_ptr<TransferWorkInterface> GetWorkInterface() = 0;
    virtual std::string GetNodeStatisticsJson() = 0;

  protected:
    Transfer() = default;
};

}  // namespace tvl
