#pragma once

// Why a transfer failed, in the small vocabulary the user is told about. One
// byte; values above 11 can arrive from outside and mean an internal error.

#include <cstdint>

namespace tvl {

enum class TransferError : std::uint8_t {
    None = 0,
    ContentError = 1,
    ConnectionError = 2,
    OutOfMemory = 3,
    DiskFull = 4,
    FileAccessError = 5,
    VerificationError = 6,
    FileWriteError = 7,
    RequestError = 8,
    InternalError = 9,
    Geofenced = 10,
    // A signature or strong digest named by the publisher's keys did not
    // match: what arrived is not what the publisher released.
    AuthenticityError = 11,
};

}  // namespace tvl
