#include "engine/file/ViewBufferPool.h"

#include <sys/mman.h>

#include <algorithm>
#include <new>
#include <utility>

namespace tvl {
namespace {

// Sizes are rounded up so that chunks of slightly different length (the last
// chunk of a file) reuse each other's buffers.
constexpr std::size_t kGranularity = 64 * 1024;
// As much as one transfer's chunk budget keeps in views: idle buffers count
// against the process's memory as much as busy ones.
constexpr std::size_t kDefaultRetainLimit = 32u * 1024 * 1024;

}  // namespace

ViewBufferPool::Buffer::Buffer(Buffer&& other) noexcept
    : pool_(std::exchange(other.pool_, nullptr)),
      data_(std::exchange(other.data_, nullptr)),
      capacity_(std::exchange(other.capacity_, 0)) {}

ViewBufferPool::Buffer& ViewBufferPool::Buffer::operator=(Buffer&& other) noexcept {
    if (this != &other) {
        Reset();
        pool_ = std::exchange(other.pool_, nullptr);
        data_ = std::exchange(other.data_, nullptr);
        capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
}

void ViewBufferPool::Buffer::Reset() {
    if (pool_ != nullptr && data_ != nullptr) {
        pool_->Release(data_, capacity_);
    }
    pool_ = nullptr;
    data_ = nullptr;
    capacity_ = 0;
}

ViewBufferPool::ViewBufferPool(std::size_t retainLimit) : retainLimit_(retainLimit) {}

ViewBufferPool::~ViewBufferPool() {
    for (const Block& block : idle_) {
        Unmap(block);
    }
}

ViewBufferPool& ViewBufferPool::Instance() {
    static ViewBufferPool* const pool = new ViewBufferPool(kDefaultRetainLimit);
    return *pool;
}

ViewBufferPool::Buffer ViewBufferPool::Acquire(std::size_t size) {
    if (size > SIZE_MAX - kGranularity) {
        throw std::bad_alloc();
    }
    const std::size_t capacity = (size + kGranularity - 1) / kGranularity * kGranularity;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::size_t best = idle_.size();
        for (std::size_t i = 0; i < idle_.size(); ++i) {
            if (idle_[i].capacity >= capacity &&
                (best == idle_.size() || idle_[i].capacity < idle_[best].capacity)) {
                best = i;
            }
        }
        if (best != idle_.size()) {
            const Block block = idle_[best];
            idle_[best] = idle_.back();
            idle_.pop_back();
            idleBytes_ -= block.capacity;
            CountBusy(block.capacity);
            return Buffer(this, block.data, block.capacity);
        }
    }
    // MAP_POPULATE faults the pages in inside the kernel, in one call, instead
    // of one trap per page on first touch.
    void* data =
        mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (data == MAP_FAILED) {
        throw std::bad_alloc();
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        CountBusy(capacity);
    }
    return Buffer(this, static_cast<std::uint8_t*>(data), capacity);
}

std::size_t ViewBufferPool::IdleBytes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return idleBytes_;
}

std::size_t ViewBufferPool::PeakBusyBytes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return peakBusyBytes_;
}

void ViewBufferPool::ResetPeak() {
    std::lock_guard<std::mutex> lock(mutex_);
    peakBusyBytes_ = busyBytes_;
}

void ViewBufferPool::CountBusy(std::size_t capacity) {
    busyBytes_ += capacity;
    peakBusyBytes_ = std::max(peakBusyBytes_, busyBytes_);
}

void ViewBufferPool::Release(std::uint8_t* data, std::size_t capacity) {
    Block block{data, capacity};
    {
        std::lock_guard<std::mutex> lock(mutex_);
        busyBytes_ -= capacity;
        if (idleBytes_ + capacity <= retainLimit_) {
            try {
                idle_.push_back(block);
                idleBytes_ += capacity;
                return;
            } catch (const std::bad_alloc&) {
                // Not kept, then.
            }
        }
    }
    Unmap(block);
}

void ViewBufferPool::Unmap(const Block& block) {
    munmap(block.data, block.capacity);
}

}  // namespace tvl
