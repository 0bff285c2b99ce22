#pragma once

// A sequence that starts over when a child fails, at most max retries times
// per run. When the retries are used up it reports RetryableError (which
// stops its workflow until the owner retries) and queues itself again, so a
// workflow retry resumes it from its first child. Thread-safe as every composite.

#include <cstdint>

#include "engine/work/SequentialWork.h"

namespace tvl {

class LimitedRetrySequentialWork : public SequentialWork {
public:
    explicit LimitedRetrySequentialWork(std::uint32_t maxRetries, WorkCompleteCallback* callback = nullptr)
        : SequentialWork(callback, 2), maxRetries_(maxRetries) {}

    static std::shared_ptr<LimitedRetrySequentialWork> Create(std::uint32_t maxRetries,
                                                              WorkCompleteCallback* callback = nullptr) {
        return std::make_shared<LimitedRetrySequentialWork>(maxRetries, callback);
    }

    bool CanRetry() override;
    void Reset() override;
    // Starts the sequence over but keeps the retry count.
    void Retry() override;

    std::uint32_t GetRetries() const;

protected:
    CompositeResult OnChildComplete(const std::shared_ptr<const Work>& child, const WorkStatus& status) override;

private:
    const std::uint32_t maxRetries_;
    std::uint32_t retries_ = 0;
};

}  // namespace tvl
