#include "bench/wan/LinkModel.h"

#include <gtest/gtest.h>

#include <vector>

namespace tvl::wan {
namespace {

constexpr std::int64_t kMs = 1000000;

Profile profile(double mbit, double rttMs, double loss = 0, std::int64_t queue = 0) {
    Profile p;
    p.bitsPerSecond = mbit * 1e6;
    p.oneWayDelayNs = static_cast<std::int64_t>(rttMs * kMs / 2);
    p.loss = loss;
    p.queueBytes = queue;
    return p;
}

TEST(LinkDirectionTest, BackToBackPacketsLeaveOneSerialisationTimeApartAfterTheOneWayDelay) {
    // 1000 bytes at 8 Mbit/s take 1 ms on the wire.
    Direction d(profile(8, 40));
    const std::int64_t t0 = 5 * kMs;
    std::vector<std::int64_t> due;
    for (int i = 0; i < 4; ++i) {
        const Decision decision = d.admit(t0, 1000, 0.5);
        ASSERT_EQ(decision.verdict, Verdict::Forward);
        due.push_back(decision.dueNs);
    }
    EXPECT_EQ(due, (std::vector<std::int64_t>{t0 + 21 * kMs, t0 + 22 * kMs, t0 + 23 * kMs, t0 + 24 * kMs}));
}

TEST(LinkDirectionTest, AnIdleLinkSavesNoCreditForALaterBurst) {
    Direction d(profile(8, 0));
    EXPECT_EQ(d.admit(0, 1000, 0.5).dueNs, 1 * kMs);
    // Long idle: the next two packets still queue behind each other.
    EXPECT_EQ(d.admit(100 * kMs, 1000, 0.5).dueNs, 101 * kMs);
    EXPECT_EQ(d.admit(100 * kMs, 1000, 0.5).dueNs, 102 * kMs);
    EXPECT_EQ(d.backlogBytes(100 * kMs), 2000);
    EXPECT_EQ(d.backlogBytes(101 * kMs), 1000);
    EXPECT_EQ(d.backlogBytes(103 * kMs), 0);
}

TEST(LinkDirectionTest, TheQueueDropsTailBeyondItsBoundAndTakesPacketsAgainAsItDrains) {
    Direction d(profile(8, 10, 0, 5000));
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(d.admit(0, 1000, 0.5).verdict, Verdict::Forward) << i;
    }
    EXPECT_EQ(d.admit(0, 1000, 0.5).verdict, Verdict::QueueFull);
    EXPECT_EQ(d.admit(0, 1, 0.5).verdict, Verdict::QueueFull);
    // A refused packet takes no wire time: one serialisation later, exactly
    // one packet fits again, and it leaves right after the fifth.
    const Decision next = d.admit(1 * kMs, 1000, 0.5);
    ASSERT_EQ(next.verdict, Verdict::Forward);
    EXPECT_EQ(next.dueNs, 6 * kMs + 5 * kMs);
    EXPECT_EQ(d.admit(1 * kMs, 1000, 0.5).verdict, Verdict::QueueFull);
}

TEST(LinkDirectionTest, TheDefaultQueueIsOneBandwidthDelayProductWithAFloor) {
    // 200 Mbit/s over a 20 ms round trip: 500,000 bytes in flight.
    EXPECT_EQ(queueLimitBytes(profile(200, 20)), 500000);
    EXPECT_EQ(queueLimitBytes(profile(8, 150)), 150000);
    EXPECT_EQ(queueLimitBytes(profile(8, 20)), kMinQueueBytes);
    EXPECT_EQ(queueLimitBytes(profile(8, 20, 0, 3000)), 3000);
}

TEST(LinkDirectionTest, ALostPacketUsesItsWireTimeAndIsNotDelivered) {
    Direction d(profile(8, 0, 0.25));
    EXPECT_EQ(d.admit(0, 1000, 0.2499).verdict, Verdict::Lost);
    const Decision next = d.admit(0, 1000, 0.25);
    ASSERT_EQ(next.verdict, Verdict::Forward);
    EXPECT_EQ(next.dueNs, 2 * kMs);
}

TEST(LinkDirectionTest, AProfileChangeSlowsLaterPacketsWithoutReorderingEarlierOnes) {
    Direction d(profile(80, 100));
    const Decision before = d.admit(0, 1000, 0.5);  // 0.1 ms on the wire, then 50 ms
    ASSERT_EQ(before.dueNs, 50 * kMs + kMs / 10);
    d.setProfile(profile(8, 20));
    const Decision after = d.admit(0, 1000, 0.5);
    // Own schedule: 0.1 + 1 ms on the wire + 10 ms, earlier than the packet
    // before it, which it must not overtake.
    EXPECT_EQ(after.dueNs, before.dueNs);
    // Once the slow packets have arrived, the new delay holds alone.
    const Decision later = d.admit(60 * kMs, 1000, 0.5);
    EXPECT_EQ(later.dueNs, 60 * kMs + 1 * kMs + 10 * kMs);
    d.reset();
    EXPECT_EQ(d.admit(0, 1000, 0.5).dueNs, 11 * kMs);
}

TEST(LinkDirectionTest, AnUnlimitedRateOnlyDelaysAndNeverQueues) {
    Direction d(profile(0, 30));
    for (int i = 0; i < 1000; ++i) {
        const Decision decision = d.admit(7, 65535, 0.5);
        ASSERT_EQ(decision.verdict, Verdict::Forward);
        ASSERT_EQ(decision.dueNs, 7 + 15 * kMs);
    }
}

TEST(ByteTriggerTest, FiresOnceWhenTheTotalReachesTheThresholdAndAgainAfterRearming) {
    ByteTrigger trigger(3000);
    EXPECT_FALSE(trigger.add(1460));
    EXPECT_FALSE(trigger.add(1460));
    EXPECT_TRUE(trigger.add(80));
    EXPECT_TRUE(trigger.fired());
    EXPECT_FALSE(trigger.add(1460));
    EXPECT_EQ(trigger.total(), 4460u);
    trigger.rearm();
    EXPECT_FALSE(trigger.fired());
    EXPECT_TRUE(trigger.add(5000));
    ByteTrigger none;
    EXPECT_FALSE(none.add(1u << 30));
}

std::vector<std::uint8_t> ipv4(std::uint8_t protocol, std::size_t ipHeader, std::size_t transportHeader,
                               std::size_t payload) {
    std::vector<std::uint8_t> packet(ipHeader + transportHeader + payload, 0);
    packet[0] = static_cast<std::uint8_t>(0x40 | (ipHeader / 4));
    packet[2] = static_cast<std::uint8_t>(packet.size() >> 8);
    packet[3] = static_cast<std::uint8_t>(packet.size() & 0xFF);
    packet[9] = protocol;
    // A TCP header too short to hold its data offset (a truncated packet)
    // gets none: writing it would run past the packet.
    if (protocol == 6 && transportHeader > 12) {
        packet[ipHeader + 12] = static_cast<std::uint8_t>((transportHeader / 4) << 4);
    }
    return packet;
}

TEST(TransportPayloadTest, CountsOnlyTheBytesAboveTheTransportHeader) {
    auto tcp = ipv4(6, 20, 32, 1448);  // timestamps option, as Linux sends
    EXPECT_EQ(transportPayload(tcp.data(), tcp.size()), 1448u);
    auto withOptions = ipv4(6, 24, 20, 100);
    EXPECT_EQ(transportPayload(withOptions.data(), withOptions.size()), 100u);
    auto ack = ipv4(6, 20, 32, 0);
    EXPECT_EQ(transportPayload(ack.data(), ack.size()), 0u);
    auto udp = ipv4(17, 20, 8, 512);
    EXPECT_EQ(transportPayload(udp.data(), udp.size()), 512u);
    auto icmp = ipv4(1, 20, 8, 56);
    EXPECT_EQ(transportPayload(icmp.data(), icmp.size()), 0u);
}

TEST(TransportPayloadTest, MalformedOrForeignPacketsCarryNothing) {
    auto tcp = ipv4(6, 20, 20, 100);
    EXPECT_EQ(transportPayload(tcp.data(), 60), 0u);  // shorter than its stated length
    auto v6 = tcp;
    v6[0] = 0x60;
    EXPECT_EQ(transportPayload(v6.data(), v6.size()), 0u);
    auto small = ipv4(6, 20, 20, 0);
    small[20 + 12] = 0xF0;  // a 60-byte TCP header in a 40-byte packet
    EXPECT_EQ(transportPayload(small.data(), small.size()), 0u);
    auto truncatedTcp = ipv4(6, 20, 0, 10);
    EXPECT_EQ(transportPayload(truncatedTcp.data(), truncatedTcp.size()), 0u);
}

}  // namespace
}  // namespace tvl::wan
