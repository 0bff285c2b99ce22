#pragma once

// What a work sees of its transfer's progress: four byte counters that works
// move from their worker threads. Implementations are atomic and lock-free.

#include <cstdint>

namespace tvl {

class TransferProgressUpdater {
public:
    virtual ~TransferProgressUpdater() = default;
    virtual void AddDone(std::uint64_t bytes) = 0;
    virtual void SubtractDone(std::uint64_t bytes) = 0;
    virtual void AddVerified(std::uint64_t bytes) = 0;
    virtual void AddDownloaded(std::uint64_t bytes) = 0;
};

}  // namespace tvl
