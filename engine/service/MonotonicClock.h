#pragma once

// The engine's millisecond timer: a monotonic clock read as unsigned 32-bit
// milliseconds that wrap around after about 49 days, so differences between
// two readings are taken in unsigned 32-bit arithmetic. Classes that measure
// time take a MillisecondClock so that tests can drive time themselves.

#include <cstdint>
#include <functional>

namespace tvl {

using MillisecondClock = std::function<std::uint32_t()>;

// Milliseconds of the steady clock, truncated to 32 bits. Safe from any thread.
std::uint32_t MonotonicMilliseconds();

}  // namespace tvl
