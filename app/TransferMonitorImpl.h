#pragma once

// Polls the status of every watched transfer on a thread of its own and hands
// each status to the transfer's callback. A transfer leaves the watch list
// when it is final, initialized or failed; only progress keeps it there.
// Watch and Unwatch are safe from any thread; Start and Stop belong to the
// owner's thread. Destruction stops and joins the thread.

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "app/TransferMonitor.h"
#include "engine/service/MonotonicClock.h"

namespace tvl {

class TransferContract;

class TransferMonitorImpl : public TransferMonitor {
  public:
    // The service is not owned and must outlive the monitor.
    explicit TransferMonitorImpl(TransferContract& service, std::uint32_t intervalMs = 100,
                                 MillisecondClock clock = MonotonicMilliseconds);
    ~TransferMonitorImpl() override;

    // Creates the polling thread unless it exists.
    void Start();
    // Sets the stop flag, wakes the thread and joins it. From inside a
    // callback it only sets the flag: the pass in progress ends after that
    // callback and the thread then leaves.
    void Stop();

    void Watch(const std::string& transferId, TransferMonitorCallback* callback) override;
    void Unwatch(const std::string& transferId) override;

    // One pass over a snapshot of the watch list in id order: what the
    // polling thread does after every wait.
    void Poll();

  private:
    // Sleeps about one interval; false once the monitor is stopping.
    bool Wait();
    void ThreadMain();

    TransferContract* service_;
    std::uint32_t intervalMs_;
    MillisecondClock clock_;
    bool stop_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::thread thread_;
    std::map<std::string, TransferMonitorCallback*> watched_;
};

}  // namespace tvl
