#pragma once

// A counter read both as a running total and as the increase since the last
// delta. Additions are lock-free; taking a delta is serialised by the
// counter's own mutex, so two concurrent deltas never report the same
// increase twice.

#include <atomic>
#include <cstdint>
#include <mutex>

namespace tvl {

template <typename T>
class DeltaCounter {
public:
    DeltaCounter() : value_(0), lastValue_(0) {}
    DeltaCounter(const DeltaCounter&) = delete;
    DeltaCounter& operator=(const DeltaCounter&) = delete;

    void Add(T n) { value_.fetch_add(n, std::memory_order_relaxed); }
    T Value() const { return value_.load(std::memory_order_relaxed); }

    T TakeDelta() {
        std::lock_guard<std::mutex> lock(mutex_);
        const T current = value_.load(std::memory_order_relaxed);
        const T delta = static_cast<T>(current - lastValue_);
        lastValue_ = current;
        return delta;
    }

private:
    std::atomic<T> value_;
    std::mutex mutex_;
    T lastValue_;
};

using DeltaCounter32 = DeltaCounter<std::uint32_t>;
using DeltaCounter64 = DeltaCounter<std::uint64_t>;

}  // namespace tvl
