#include "tests/support/Crc32Forgery.h"

#include <array>
#include <cstdint>
#include <stdexcept>

#include "engine/manifest/Crc32.h"

namespace tvl::test {
namespace {

// The part of the checksum that a flip of the bits `difference` in the last
// four bytes causes. Zero bytes before them do not move a register that
// starts at zero, so four bytes are enough to compute it.
std::uint32_t ChecksumChange(std::uint32_t difference) {
    std::array<unsigned char, 4> bytes{};
    for (int i = 0; i < 4; ++i) {
        bytes[i] = static_cast<unsigned char>(difference >> (8 * i));
    }
    static const std::array<unsigned char, 4> zeros{};
    return Crc32(bytes.data(), bytes.size()) ^ Crc32(zeros.data(), zeros.size());
}

}  // namespace

std::string ForgeSameCrc32(const std::string& original, const std::string& payload) {
    if (original.size() < payload.size() + 4) {
        throw std::invalid_argument("a chunk of " + std::to_string(original.size()) +
                                    " bytes has no room for the payload and the four bytes that fix the checksum");
    }
    std::string forged = original;
    forged.replace(0, payload.size(), payload);
    const std::uint32_t wanted = Crc32(original.data(), original.size()) ^ Crc32(forged.data(), forged.size());

    // Solve for the 32 bits of the tail: column k of the system is the change
    // caused by flipping bit k alone. Gauss-Jordan over GF(2), each row kept
    // with the combination of tail bits that produces it.
    std::array<std::uint32_t, 32> change{};
    std::array<std::uint32_t, 32> bits{};
    for (int k = 0; k < 32; ++k) {
        change[k] = ChecksumChange(std::uint32_t{1} << k);
        bits[k] = std::uint32_t{1} << k;
    }
    for (int pivot = 0; pivot < 32; ++pivot) {
        const std::uint32_t mask = std::uint32_t{1} << pivot;
        int row = pivot;
        while (row < 32 && (change[row] & mask) == 0) {
            ++row;
        }
        if (row == 32) {
            throw std::logic_error("the last four bytes do not span the checksum");
        }
        std::swap(change[row], change[pivot]);
        std::swap(bits[row], bits[pivot]);
        for (int other = 0; other < 32; ++other) {
            if (other != pivot && (change[other] & mask) != 0) {
                change[other] ^= change[pivot];
                bits[other] ^= bits[pivot];
            }
        }
    }
    // change[] is now the unit vectors: the tail bits for `wanted` are the
    // sum of the rows of the bits it has set.
    std::uint32_t tail = 0;
    for (int k = 0; k < 32; ++k) {
        if ((wanted >> k) & 1u) {
            tail ^= bits[k];
        }
    }
    const std::size_t at = forged.size() - 4;
    for (int i = 0; i < 4; ++i) {
        forged[at + i] = static_cast<char>(static_cast<unsigned char>(forged[at + i]) ^ ((tail >> (8 * i)) & 0xFF));
    }
    return forged;
}

}  // namespace tvl::test
