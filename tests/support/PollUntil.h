#pragma once

// The one bounded poll every test wait is built on, so that no test waits on
// another thread or process without a limit.

#include <chrono>
#include <thread>

namespace tvl::test {

// True as soon as `predicate` holds; false when it still does not after
// `limit` (it is asked once more at the deadline). Asked every `interval`.
template <typename Predicate>
bool PollUntil(Predicate&& predicate, std::chrono::milliseconds limit, std::chrono::milliseconds interval) {
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
