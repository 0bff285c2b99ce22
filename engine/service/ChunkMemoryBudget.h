#pragma once

// The memory of chunk views one transfer holds at once. Chunk works take
// what a chunk's view will hold before they start the chunk and give it back
// when the chunk is done, so that many requests in flight do not mean memory
// without bound.
// Lock-free; any thread.

#include <atomic>
#include <cstdint>

namespace tvl {

class ChunkMemoryBudget {
  public:
    explicit ChunkMemoryBudget(std::uint64_t limit) : limit_(limit) {}
    ChunkMemoryBudget(const ChunkMemoryBudget&) = delete;
    ChunkMemoryBudget& operator=(const ChunkMemoryBudget&) = delete;

    // Takes bytes when they fit within the limit, or in any case when force is
    // set (a file with no chunk under way must always be able to start one,
    // or it would wait for a release that nothing of its own will make).
    bool TryTake(std::uint64_t bytes, bool force) {
        std::uint64_t used = used_.load(std::memory_order_relaxed);
        do {
            if (!force && (used > limit_ || bytes > limit_ - used)) {
                return false;
            }
        } while (!used_.compare_exchange_weak(used, used + bytes, std::memory_order_acq_rel,
                                              std::memory_order_relaxed));
        return true;
    }

    void Give(std::uint64_t bytes) { used_.fetch_sub(bytes, std::memory_order_acq_rel); }

    std::uint64_t InUse() const { return used_.load(std::memory_order_acquire); }
    std::uint64_t Limit() const { return limit_; }

  private:
    const std::uint64_t limit_;
    std::atomic<std::uint64_t> used_{0};
};

}  // namespace tvl
