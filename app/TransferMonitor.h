#pragma once

// The part of the transfer monitor that its callbacks use: which transfers are
// polled, and who hears about them. Safe from any thread, including from
// inside a callback.

#include <string>

namespace tvl {

class TransferMonitorCallback;

class TransferMonitor {
  public:
    virtual ~TransferMonitor() = default;

    // An id that is already watched keeps its first callback. The callback is
    // not owned and must outlive the watch.
    virtual void Watch(const std::string& transferId, TransferMonitorCallback* callback) = 0;
    virtual void Unwatch(const std::string& transferId) = 0;

    TransferMonitor(const TransferMonitor&) = delete;
    TransferMonitor& operator=(const TransferMonitor&) = delete;

  protected:
    TransferMonitor() = default;
};

}  // namespace tvl
