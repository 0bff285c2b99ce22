#include "engine/service/TransferStatusImpl.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "engine/manifest/PackageManifest.h"
#include "engine/service/TransferParams.h"

namespace tvl {
namespace {

std::uint64_t PackageSize(const PackageManifest& package) {
    std::uint64_t total = 0;
    for (const auto& file : package.GetFiles()) {
        const std::uint64_t size = file->GetSize();
        // A sum that cannot be represented is no total at all; saturating keeps
        // the progress fraction meaningful instead of wrapping to a small number.
        total = size > std::numeric_limits<std::uint64_t>::max() - total
                    ? std::numeric_limits<std::uint64_t>::max()
                    : total + size;
    }
    return total;
}

}  // namespace

TransferStatusImpl::TransferStatusImpl(const TransferParams* params, std::int32_t windowSeconds,
                                       std::uint32_t estimateIntervalMs, MillisecondClock clock)
    : params_(params),
      windowSeconds_(windowSeconds),
      estimateIntervalMs_(estimateIntervalMs),
      clock_(clock ? std::move(clock) : MillisecondClock(MonotonicMilliseconds)) {
    stored_.transferId = params_->transferId;
    stored_.state = static_cast<std::uint8_t>(TransferState::Initializing);
    stored_.error = static_cast<std::uint8_t>(TransferError::None);
}

void TransferStatusImpl::AddDone(std::uint64_t bytes) {
    bytesDone_.fetch_add(bytes);
}

void TransferStatusImpl::SubtractDone(std::uint64_t bytes) {
    // Never below zero: a wrapped counter would read as a nearly finished
    // transfer.
    std::uint64_t current = bytesDone_.load();
    while (!bytesDone_.compare_exchange_weak(current, current > bytes ? current - bytes : 0)) {
    }
}

void TransferStatusImpl::AddVerified(std::uint64_t bytes) {
    bytesVerified_.fetch_add(bytes);
}

void TransferStatusImpl::AddDownloaded(std::uint64_t bytes) {
    bytesDownloaded_.Add(bytes);
}

void TransferStatusImpl::TakePackage(const PackageManifest& package) {
    stored_.runPath = package.GetRun();
    stored_.bytesTotal = PackageSize(package);
}

TransferStatus TransferStatusImpl::Snapshot() {
    TransferStatus s = stored_;
    s.transferId = params_->transferId;
    s.partnerId = params_->partnerId;
    s.packageId = params_->packageId;
    s.versionId = params_->versionId;
    s.destPath = params_->destPath;
    if (GetState() != TransferState::Completed) {
        s.runPath.clear();
    }
    s.bytesDownloaded = bytesDownloaded_.Value();
    s.bytesDone = bytesDone_.load();
    s.bytesVerified = bytesVerified_.load();
    const std::uint32_t now = clock_();
    s.secondsRemaining = Estimate(s, now);
    s.bytesPerSecond = Rate(s, now);
    return s;
}

std::int32_t TransferStatusImpl::Estimate(const TransferStatus& s, std::uint32_t now) {
    std::uint64_t a = 0;
    if (params_->transferType == 0) {
        a = s.bytesDownloaded;
    } else if (params_->transferType == 1) {
        a = s.bytesVerified;
    }
    const std::uint64_t remaining = s.bytesDone > s.bytesTotal ? 0 : s.bytesTotal - s.bytesDone;
    const bool running = static_cast<TransferState>(s.state) == TransferState::Transferring && s.error == 0;
    if (a != 0 && running && !samples_.empty() && sampling_) {
        transferTimeMs_.Add(static_cast<std::uint32_t>(now - samples_.back().timeMs));
    }
    const std::uint64_t t = transferTimeMs_.Value();
    const std::uint64_t windowMs =
        static_cast<std::uint64_t>(std::max<std::int32_t>(windowSeconds_, 0)) * 1000;
    if (t < windowMs || a == 0) {
        return -1;
    }
    if (running && t < cachedEstimateTimeMs_ + estimateIntervalMs_) {
        return cachedEstimate_;
    }
    const double seconds = std::ceil(static_cast<double>(t) / (static_cast<double>(a) * 1000.0) *
                                     static_cast<double>(remaining));
    const double limit = static_cast<double>(std::numeric_limits<std::int32_t>::max());
    cachedEstimate_ =
        seconds > limit ? std::numeric_limits<std::int32_t>::max() : static_cast<std::int32_t>(seconds);
    cachedEstimateTimeMs_ = t;
    return cachedEstimate_;
}

std::uint64_t TransferStatusImpl::Rate(const TransferStatus& s, std::uint32_t now) {
    const auto state = static_cast<TransferState>(s.state);
    if (!s.IsFinal() &&
        (state == TransferState::Transferring || state == TransferState::TransferringPaused)) {
        samples_.push_back(Sample{now, s.bytesDownloaded});
        while (samples_.size() > 2 &&
               static_cast<std::int64_t>((now - samples_.front().timeMs) / 1000) >= windowSeconds_) {
            samples_.pop_front();
        }
        sampling_ = state == TransferState::Transferring && s.error == 0;
    }
    if (samples_.size() < 2) {
        return 0;
    }
    const Sample& oldest = samples_.front();
    const Sample& newest = samples_.back();
    const std::uint64_t bytes =
        newest.bytesDownloaded > oldest.bytesDownloaded ? newest.bytesDownloaded - oldest.bytesDownloaded : 0;
    const std::int64_t seconds = static_cast<std::uint32_t>(newest.timeMs - oldest.timeMs) / 1000;
    std::int64_t divisor = std::max<std::int64_t>(seconds, windowSeconds_);
    if (divisor <= 0) {
        divisor = 1;
    }
    return bytes / static_cast<std::uint64_t>(divisor);
}

}  // namespace tvl
