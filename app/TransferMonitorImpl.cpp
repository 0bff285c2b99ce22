#include "app/TransferMonitorImpl.h"

#include <chrono>
#include <utility>
#include <vector>

#include "app/TransferMonitorCallback.h"
#include "engine/service/TransferContract.h"
#include "engine/service/TransferState.h"

namespace tvl {

TransferMonitorImpl::TransferMonitorImpl(TransferContract& service, std::uint32_t intervalMs,
                                         MillisecondClock clock)
    : service_(&service), intervalMs_(intervalMs), clock_(std::move(clock)), stop_(false) {}

TransferMonitorImpl::~TransferMonitorImpl() {
    Stop();
    std::lock_guard<std::mutex> lock(mutex_);
    watched_.clear();
}

void TransferMonitorImpl::Start() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!thread_.joinable() && !stop_) {
        thread_ = std::thread(&TransferMonitorImpl::ThreadMain, this);
    }
}

void TransferMonitorImpl::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) {
        thread_.join();
    }
}

void TransferMonitorImpl::Watch(const std::string& transferId, TransferMonitorCallback* callback) {
    std::lock_guard<std::mutex> lock(mutex_);
    watched_.emplace(transferId, callback);
}

void TransferMonitorImpl::Unwatch(const std::string& transferId) {
    std::lock_guard<std::mutex> lock(mutex_);
    watched_.erase(transferId);
}

void TransferMonitorImpl::ThreadMain() {
    while (Wait()) {
        Poll();
    }
}

bool TransferMonitorImpl::Wait() {
    const std::uint32_t start = clock_();
    // Waking a little early keeps the polling period close to the interval
    // although every pass takes some time of its own.
    const auto limit = static_cast<std::uint32_t>(intervalMs_ * 0.9);
    std::uint32_t remaining = intervalMs_;
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
        wake_.wait_for(lock, std::chrono::milliseconds(remaining));
        const std::uint32_t elapsed = clock_() - start;
        if (stop_ || elapsed >= limit) {
            break;
        }
        remaining = intervalMs_ - elapsed;
    }
    return !stop_;
}

void TransferMonitorImpl::Poll() {
    std::vector<std::pair<std::string, TransferMonitorCallback*>> snapshot;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        snapshot.assign(watched_.begin(), watched_.end());
    }
    for (const auto& [transferId, callback] : snapshot) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stop_) {
                return;
            }
        }
        const TransferStatus status = service_->GetTransferStatus(transferId);
        if (status.IsFinal()) {
            Unwatch(transferId);
            callback->OnFinished(status);
        } else if (status.state == static_cast<std::uint8_t>(TransferState::Initialized)) {
            Unwatch(transferId);
            callback->OnInitialized(status);
            if (status.error != 0) {
                callback->OnError(status);
            }
        } else if (status.error == 0) {
            callback->OnProgress(status);
        } else {
            Unwatch(transferId);
            callback->OnError(status);
        }
    }
}

}  // namespace tvl
