#pragma once

// What a transfer hands to its event seam when it raises a transfer event:
// which event, the status right after the transition, and the arguments the
// event carries. A plain record; the events built from it copy what they need.

#include <cstdint>
#include <memory>
#include <string>

#include "engine/service/TransferStatus.h"

namespace tvl {

class TransferStatusImpl;
class TransferWorkInterface;
class WorkStatusData;

enum class TransferEventKind : std::uint8_t {
    Initialize,
    InitializeComplete,
    Pause,
    Resume,
    Retry,
    Start,
    Restore,
    Cancel,
    Suspend,
    Complete,
    RetryableError,
    FatalError,
    PeriodicUpdate,
    CanTransferTo,
    IsSubset,
    IsSuperset,
};

struct TransferEventRecord {
    explicit TransferEventRecord(TransferEventKind kind) : kind(kind) {}

    TransferEventKind kind;
    TransferStatus status;  // snapshot taken under the transfer's mutex
    // Reach the transfer's parameters and behavior, and the progress counters
    // whose deltas the end, periodic and error events report.
    std::shared_ptr<TransferWorkInterface> transfer;
    std::shared_ptr<TransferStatusImpl> progress;
    // FatalError and RetryableError: the detail whose summary is the error text.
    std::shared_ptr<WorkStatusData> detail;

    // The destination checks.
    std::string destPath;
    bool returned = false;
    bool option = false;  // IsSuperset: ignoreHidden; IsSubset: confirmSize
    std::string failure;  // empty on success
    bool hasActualSize = false;
    std::uint64_t actualSize = 0;
    std::uint64_t allocatedSpace = 0;
    std::uint64_t availableSpace = 0;
    std::uint64_t transferSize = 0;
};

}  // namespace tvl
