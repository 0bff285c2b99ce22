#pragma once

// Polls a condition until it holds or a time limit passes, so that a test
// waiting on another thread or process never waits without bound.

#include <chrono>
#include <thread>

namespace tvl::test {

// True as soon as `predicate` holds; false when it still does not after `limit`
// (it is asked once more at the deadline).
template <typename Predicate>
bool WaitFor(Predicate predicate, std::chrono::milliseconds limit = std::chrono::seconds(20),
             std::chrono::milliseconds interval = std::chrono::milliseconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (predicate()) {
            return true;
        }
        std::this_thread::sleep_for(interval);
    }
    return predicate();
}

}  // namespace tvl::test
