#pragma once

#include <cstdint>

namespace tvl {

// Where a transfer stands; one byte, copied into every TransferStatus.
enum class TransferState : std::uint8_t {
    None = 0,  // only in the unknown-transfer status
    Initializing = 1,
    InitializingPaused = 2,
    Initialized = 3,
    Transferring = 4,
    TransferringPaused = 5,
    Suspended = 6,
    Completed = 7,
    Canceled = 8,
};

}  // namespace tvl
