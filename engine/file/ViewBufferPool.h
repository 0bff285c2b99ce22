#pragma once

// Memory for the views of PosixMemoryMap, kept for reuse. Fresh memory costs a
// page fault per 4 KiB page on first touch, which on virtual machines is slow
// enough to dominate a chunk transfer; buffers therefore come out of the pool
// already populated and go back to it when a view ends. One pool per process,
// safe from any thread.

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace tvl {

class ViewBufferPool {
  public:
    // Owns one buffer of the pool until it is destroyed or moved from.
    class Buffer {
      public:
        Buffer() = default;
        Buffer(ViewBufferPool* pool, std::uint8_t* data, std::size_t capacity)
            : pool_(pool), data_(data), capacity_(capacity) {}
        ~Buffer() { Reset(); }
        Buffer(Buffer&& other) noexcept;
        Buffer& operator=(Buffer&& other) noexcept;
        Buffer(const Buffer&) = delete;
        Buffer& operator=(const Buffer&) = delete;

        std::uint8_t* Data() const { return data_; }
        std::size_t Capacity() const { return capacity_; }
        void Reset();

      private:
        ViewBufferPool* pool_ = nullptr;
        std::uint8_t* data_ = nullptr;
        std::size_t capacity_ = 0;
    };

    // retainLimit: how many bytes of idle buffers the pool keeps.
    explicit ViewBufferPool(std::size_t retainLimit);
    ~ViewBufferPool();
    ViewBufferPool(const ViewBufferPool&) = delete;
    ViewBufferPool& operator=(const ViewBufferPool&) = delete;

    // The process's pool; never destroyed, so views may outlive static
    // destruction.
    static ViewBufferPool& Instance();

    // At least `size` bytes (size > 0); std::bad_alloc when memory is short.
    Buffer Acquire(std::size_t size);

    std::size_t IdleBytes();
    // The most bytes handed out at once since the last ResetPeak: what views
    // held, whatever the pool kept.
    std::size_t PeakBusyBytes();
    void ResetPeak();

  private:
    struct Block {
        std::uint8_t* data;
        std::size_t capacity;
    };

    void Release(std::uint8_t* data, std::size_t capacity);
    void CountBusy(std::size_t capacity);  // with mutex_ held
    static void Unmap(const Block& block);

    const std::size_t retainLimit_;
    std::mutex mutex_;
    std::vector<Block> idle_;
    std::size_t idleBytes_ = 0;
    std::size_t busyBytes_ = 0;
    std::size_t peakBusyBytes_ = 0;
};

}  // namespace tvl
