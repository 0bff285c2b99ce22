#pragma once

// The issue time of the newest signed manifest accepted per package on this
// machine, so that a replayed older release is refused as the newest version.
// One small file per package in the folder, replaced whole: a crash at any
// moment leaves the old time or the new one, never a broken file.
//
// Threading: safe from any thread of one process; two processes at once may
// each record a time, and the later rename wins.

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace tvl {

class AcceptedReleases {
public:
    explicit AcceptedReleases(std::string folder);

    // Throws SignatureRejected(Rollback) when `issued` is older than the
    // newest release accepted for the package; records it otherwise. A time
    // that cannot be recorded (a full disk) does not fail the download of a
    // genuine release: the record only stays at the older time.
    void Accept(const std::string& packageId, std::int64_t issued);

    std::optional<std::int64_t> Newest(const std::string& packageId) const;

private:
    std::string PathOf(const std::string& packageId) const;

    const std::string folder_;
    mutable std::mutex mutex_;
};

}  // namespace tvl
