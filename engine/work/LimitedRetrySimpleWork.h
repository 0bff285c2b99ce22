#pragma once

// A simple work whose task may be repeated after a retryable error, at most
// max retries times per run (so it runs at most max retries + 1 times in a
// row). The counter is touched only by the thread running the work and by
// Reset, which the workflow calls while the work is not running.

#include <cstdint>

#include "engine/work/SimpleWork.h"

namespace tvl {

class LimitedRetrySimpleWork : public SimpleWork {
public:
    bool CanRetry() override;
    void Reset() override;

    std::uint32_t GetRetries() const { return retries_; }
    std::uint32_t GetMaxRetries() const { return maxRetries_; }

protected:
    explicit LimitedRetrySimpleWork(std::uint32_t maxRetries, WorkCompleteCallback* callback = nullptr)
        : SimpleWork(callback), maxRetries_(maxRetries) {}

private:
    const std::uint32_t maxRetries_;
    std::uint32_t retries_ = 0;
};

}  // namespace tvl
