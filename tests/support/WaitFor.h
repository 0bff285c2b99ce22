#pragma once

// Waiting on another process or on the engine's threads from an end-to-end
// test: a bounded poll with limits suited to child processes.

#include <chrono>

#include "tests/support/PollUntil.h"

namespace tvl::test {

template <typename Predicate>
bool WaitFor(Predicate predicate, std::chrono::milliseconds limit = std::chrono::seconds(20),
             std::chrono::milliseconds interval = std::chrono::milliseconds(20)) {
    return PollUntil(predicate, limit, interval);
}

}  // namespace tvl::test
