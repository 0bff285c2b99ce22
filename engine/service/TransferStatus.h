#pragma once

// A self-contained snapshot of one transfer, returned by value by every
// transfer operation. A default-constructed status is the unknown-transfer
// status: what callers get for an id that names no transfer.

#include <cstdint>
#include <string>

namespace tvl {

struct TransferStatus {
    TransferStatus();

    std::string transferId;
    std::string partnerId;
    std::string packageId;
    std::string versionId;
    std::string destPath;
    std::uint8_t state;  // TransferState
    std::uint8_t error;  // TransferError, 0 = none
    bool retryable;
    std::string runPath;  // the package's run file once Completed
    std::uint64_t bytesDownloaded;
    std::uint64_t bytesDone;
    std::uint64_t bytesVerified;
    std::uint64_t bytesTotal;
    std::uint64_t bytesPerSecond;
    std::int32_t secondsRemaining;  // -1 while there is no estimate

    // Final: nothing more will happen to the transfer without a new request.
    bool IsFinal() const;
};

}  // namespace tvl
