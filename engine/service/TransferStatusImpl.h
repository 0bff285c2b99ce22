#pragma once

// A transfer's progress: the byte counters its works move, the state, error
// and totals the transfer keeps, and the snapshot every operation returns,
// with the recent download rate and the time-remaining estimate.
//
// Threading: the four counter updates are lock-free and may come from any
// thread. Everything else (the state fields, Snapshot with its rate samples
// and cached estimate, TakePackage) runs under the owning transfer's mutex.
// The two delta counters take their deltas under their own mutexes.

#include <cstdint>
#include <deque>
#include <utility>

#include "engine/optimizer/DeltaCounter.h"
#include "engine/service/MonotonicClock.h"
#include "engine/service/TransferProgressUpdater.h"
#include "engine/service/TransferState.h"
#include "engine/service/TransferStatus.h"
#include "engine/workflow/TransferError.h"

namespace tvl {

class PackageManifest;
class TransferParams;

class TransferStatusImpl : public TransferProgressUpdater {
  public:
    // params is the owning data's live parameters and must outlive this object.
    TransferStatusImpl(const TransferParams* params, std::int32_t windowSeconds,
                       std::uint32_t estimateIntervalMs, MillisecondClock clock = MonotonicMilliseconds);
    TransferStatusImpl(const TransferStatusImpl&) = delete;
    TransferStatusImpl& operator=(const TransferStatusImpl&) = delete;

    void AddDone(std::uint64_t bytes) override;
    void SubtractDone(std::uint64_t bytes) override;
    void AddVerified(std::uint64_t bytes) override;
    void AddDownloaded(std::uint64_t bytes) override;

    // The run path and total size of the package, kept for later snapshots.
    void TakePackage(const PackageManifest& package);

    // The status as callers see it. Each call adds a rate sample while the
    // transfer is transferring and advances the measured transfer time.
    TransferStatus Snapshot();

    TransferState GetState() const { return static_cast<TransferState>(stored_.state); }
    void SetState(TransferState state) { stored_.state = static_cast<std::uint8_t>(state); }
    TransferError GetError() const { return static_cast<TransferError>(stored_.error); }
    bool IsRetryable() const { return stored_.retryable; }
    void SetError(TransferError error, bool retryable) {
        stored_.error = static_cast<std::uint8_t>(error);
        stored_.retryable = retryable;
    }
    // Final: suspended, completed, canceled, or an error no retry can clear.
    bool IsFinal() const { return stored_.IsFinal(); }

    std::uint64_t GetBytesDone() const { return bytesDone_.load(); }
    std::uint64_t GetBytesVerified() const { return bytesVerified_.load(); }
    std::uint64_t GetBytesTotal() const { return stored_.bytesTotal; }

    // Taken by the periodic, end and error events.
    DeltaCounter64& BytesDownloaded() { return bytesDownloaded_; }
    DeltaCounter64& TransferTimeMs() { return transferTimeMs_; }

  private:
    struct Sample {
        std::uint32_t timeMs;
        std::uint64_t bytesDownloaded;
    };

    std::int32_t Estimate(const TransferStatus& s, std::uint32_t now);
    std::uint64_t Rate(const TransferStatus& s, std::uint32_t now);

    const TransferParams* const params_;
    TransferStatus stored_;
    std::atomic<std::uint64_t> bytesDone_{0};
    std::atomic<std::uint64_t> bytesVerified_{0};
    DeltaCounter64 bytesDownloaded_;
    DeltaCounter64 transferTimeMs_;
    const std::int32_t windowSeconds_;
    const std::uint32_t estimateIntervalMs_;
    std::deque<Sample> samples_;
    bool sampling_ = false;
    std::int32_t cachedEstimate_ = -1;
    std::uint64_t cachedEstimateTimeMs_ = 0;
    const MillisecondClock clock_;
};

}  // namespace tvl
