#pragma once

// What the transfer monitor calls for every status it polls. All calls come
// from the monitor thread, without any monitor lock held, so an
// implementation may call Watch and Unwatch from inside them.

#include "engine/service/TransferStatus.h"

namespace tvl {

class TransferMonitorCallback {
  public:
    virtual ~TransferMonitorCallback() = default;

    // Neither finished nor failed; the transfer stays watched.
    virtual void OnProgress(const TransferStatus& status) = 0;
    // Waiting for a destination; the monitor has stopped watching it.
    virtual void OnInitialized(const TransferStatus& status) = 0;
    // Reported an error; the monitor has stopped watching it.
    virtual void OnError(const TransferStatus& status) = 0;
    // Reached a final state; the monitor has stopped watching it.
    virtual void OnFinished(const TransferStatus& status) = 0;

  protected:
    TransferMonitorCallback() = default;
    TransferMonitorCallback(const TransferMonitorCallback&) = default;
    TransferMonitorCallback& operator=(const TransferMonitorCallback&) = default;
};

}  // namespace tvl
