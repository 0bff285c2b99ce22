#pragma once
// The timing rules of an emulated wide-area link, kept apart from the packet
// I/O so that they can be checked without devices or clocks.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace tvl::wan {

constexpr std::int64_t kNsPerSecond = 1000000000;
// A router buffer smaller than this would drop a TCP window's first burst on
// a slow link even when nothing else shares it.
constexpr std::int64_t kMinQueueBytes = 64 * 1024;

struct Profile {
    double bitsPerSecond = 0;  // 0: no rate limit
    std::int64_t oneWayDelayNs = 0;
    double loss = 0;           // probability that a packet is lost on the wire
    std::int64_t queueBytes = 0;  // 0: one bandwidth-delay product of the round trip
};

inline std::int64_t queueLimitBytes(const Profile& p) {
    if (p.queueBytes > 0) {
        return p.queueBytes;
    }
    const double roundTripSeconds = 2.0 * static_cast<double>(p.oneWayDelayNs) / kNsPerSecond;
    const auto bdp = static_cast<std::int64_t>(p.bitsPerSecond * roundTripSeconds / 8.0);
    return std::max(bdp, kMinQueueBytes);
}

inline std::int64_t serialisationNs(std::size_t bytes, double bitsPerSecond) {
    if (bitsPerSecond <= 0) {
        return 0;
    }
    return std::llround(static_cast<double>(bytes) * 8.0 * kNsPerSecond / bitsPerSecond);
}

enum class Verdict { Forward, Lost, QueueFull };

struct Decision {
    Verdict verdict;
    std::int64_t dueNs;  // when the packet reaches the far end (Forward only)
};

// One direction of a link: a drop-tail queue in front of a wire of the
// profile's rate, then the wire's delay. A packet lost on the wire has used
// its serialisation time, as it would on a real one.
class Direction {
public:
    explicit Direction(const Profile& profile = Profile{}) { setProfile(profile); }

    // Packets already admitted keep the times they were given: a router's
    // queue does not rearrange itself when its uplink changes speed.
    void setProfile(const Profile& profile) {
        profile_ = profile;
        queueLimit_ = queueLimitBytes(profile);
    }

    const Profile& profile() const { return profile_; }
    std::int64_t queueLimit() const { return queueLimit_; }

    // Bytes admitted whose serialisation has not finished by nowNs.
    std::int64_t backlogBytes(std::int64_t nowNs) const {
        const std::int64_t waitingNs = std::max<std::int64_t>(0, linkFreeNs_ - nowNs);
        return static_cast<std::int64_t>(static_cast<double>(waitingNs) * profile_.bitsPerSecond / 8.0 /
                                         kNsPerSecond);
    }

    // lossDraw is uniform in [0, 1).
    Decision admit(std::int64_t nowNs, std::size_t bytes, double lossDraw) {
        if (profile_.bitsPerSecond > 0 &&
            backlogBytes(nowNs) + static_cast<std::int64_t>(bytes) > queueLimit_) {
            return {Verdict::QueueFull, 0};
        }
        linkFreeNs_ = std::max(linkFreeNs_, nowNs) + serialisationNs(bytes, profile_.bitsPerSecond);
        if (lossDraw < profile_.loss) {
            return {Verdict::Lost, 0};
        }
        // A shorter delay after a change must not let a packet overtake one
        // admitted before it.
        lastDueNs_ = std::max(lastDueNs_, linkFreeNs_ + profile_.oneWayDelayNs);
        return {Verdict::Forward, lastDueNs_};
    }

    void reset() {
        linkFreeNs_ = 0;
        lastDueNs_ = 0;
    }

private:
    Profile profile_;
    std::int64_t queueLimit_ = kMinQueueBytes;
    std::int64_t linkFreeNs_ = 0;
    std::int64_t lastDueNs_ = 0;
};

// Fires once, on the call that brings the running total to the threshold or
// past it. Counting delivered bytes rather than time puts the change at the
// same point of every downloader's transfer.
class ByteTrigger {
public:
    explicit ByteTrigger(std::uint64_t threshold = 0) : threshold_(threshold) {}

    bool add(std::uint64_t bytes) {
        total_ += bytes;
        if (fired_ || threshold_ == 0 || total_ < threshold_) {
            return false;
        }
        fired_ = true;
        return true;
    }

    void rearm() {
        total_ = 0;
        fired_ = false;
    }

    bool fired() const { return fired_; }
    std::uint64_t total() const { return total_; }

private:
    std::uint64_t threshold_;
    std::uint64_t total_ = 0;
    bool fired_ = false;
};

// What an IPv4 packet carries above TCP or UDP: the bytes a downloader
// receives, without headers. Anything unparseable carries nothing.
inline std::size_t transportPayload(const std::uint8_t* packet, std::size_t length) {
    if (length < 20 || (packet[0] >> 4) != 4) {
        return 0;
    }
    const std::size_t ipHeader = static_cast<std::size_t>(packet[0] & 0x0F) * 4;
    const std::size_t total = (static_cast<std::size_t>(packet[2]) << 8) | packet[3];
    if (ipHeader < 20 || total > length || total < ipHeader) {
        return 0;
    }
    const std::uint8_t protocol = packet[9];
    if (protocol == 6) {
        if (total < ipHeader + 20) {
            return 0;
        }
        const std::size_t tcpHeader = static_cast<std::size_t>(packet[ipHeader + 12] >> 4) * 4;
        return total >= ipHeader + tcpHeader && tcpHeader >= 20 ? total - ipHeader - tcpHeader : 0;
    }
    if (protocol == 17) {
        return total >= ipHeader + 8 ? total - ipHeader - 8 : 0;
    }
    return 0;
}

}  // namespace tvl::wan
