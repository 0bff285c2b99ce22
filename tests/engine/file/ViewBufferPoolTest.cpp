#include "engine/file/ViewBufferPool.h"

#include <gtest/gtest.h>

#include <cstring>

namespace tvl {
namespace {

TEST(ViewBufferPool, ReleasedBuffersAreReusedUpToTheRetainLimit) {
    ViewBufferPool pool(256 * 1024);
    std::uint8_t* first = nullptr;
    {
        auto buffer = pool.Acquire(100000);
        ASSERT_NE(buffer.Data(), nullptr);
        EXPECT_GE(buffer.Capacity(), 100000u);
        std::memset(buffer.Data(), 0xAB, 100000);
        first = buffer.Data();
    }
    EXPECT_GT(pool.IdleBytes(), 0u);
    {
        auto again = pool.Acquire(90000);
        EXPECT_EQ(again.Data(), first) << "a close size reuses the idle buffer";
        auto other = pool.Acquire(90000);
        EXPECT_NE(other.Data(), first);
        EXPECT_EQ(pool.IdleBytes(), 0u);
        auto moved = std::move(other);
        EXPECT_EQ(other.Data(), nullptr);
        EXPECT_NE(moved.Data(), nullptr);
    }
    EXPECT_EQ(pool.IdleBytes(), 2 * 128 * 1024u);
    { auto big = pool.Acquire(1 << 20); }
    EXPECT_EQ(pool.IdleBytes(), 2 * 128 * 1024u) << "what would pass the limit is given back to the system";
}

}  // namespace
}  // namespace tvl
