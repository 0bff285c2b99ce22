#include "engine/manifest/Crc32.h"

#include <gtest/gtest.h>

#include <boost/crc.hpp>
#include <random>
#include <vector>

namespace tvl {
namespace {

std::uint32_t Reference(const unsigned char* data, std::size_t size) {
    boost::crc_32_type crc;
    crc.process_bytes(data, size);
    return crc.checksum();
}

TEST(Crc32, PublishedCheckValue) {
    EXPECT_EQ(Crc32("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(Crc32("", 0), 0u);
}

TEST(Crc32, MatchesAPlainReferenceForEveryLengthAndAlignment) {
    std::mt19937 random(20261209);
    std::vector<unsigned char> buffer(4096 + 64);
    for (auto& byte : buffer) {
        byte = static_cast<unsigned char>(random());
    }
    for (std::size_t length = 0; length <= 4096; ++length) {
        const std::size_t offset = length % 61;
        ASSERT_EQ(Crc32(buffer.data() + offset, length), Reference(buffer.data() + offset, length))
            << "length " << length << " offset " << offset;
    }
}

TEST(Crc32, ContinuesAcrossPieces) {
    std::vector<unsigned char> data(100000);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<unsigned char>(i * 7 + 3);
    }
    const std::uint32_t whole = Crc32(data.data(), data.size());
    std::uint32_t pieces = 0;
    for (std::size_t at = 0; at < data.size(); at += 4099) {
        pieces = Crc32(pieces, data.data() + at, std::min<std::size_t>(4099, data.size() - at));
    }
    EXPECT_EQ(pieces, whole);
}

TEST(Crc32, OfZerosMatchesHashingZerosAtEverySizeAroundItsBlocks) {
    const std::vector<unsigned char> zeros((1u << 20) + 3, 0);
    for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{65535}, std::size_t{65536},
                                   std::size_t{65537}, std::size_t{1u << 20}, (std::size_t{1u} << 20) + 3}) {
        EXPECT_EQ(Crc32OfZeros(size), Reference(zeros.data(), size)) << size;
        EXPECT_EQ(Crc32OfZeros(size), Reference(zeros.data(), size)) << size << ", remembered";
    }
}

}  // namespace
}  // namespace tvl
