#pragma once

// Bytes that differ from a given chunk but keep its CRC-32, as a hostile
// download node would serve them. CRC-32 is linear over GF(2): flipping a set
// of bits changes the checksum by a value that depends only on where the bits
// are, so after any change, four bytes at the end can be chosen to cancel it.

#include <string>

namespace tvl::test {

// `original` with its first bytes replaced by `payload` and its last four
// bytes chosen so that the CRC-32 is unchanged. Throws std::invalid_argument
// when `original` is shorter than the payload and the four bytes.
std::string ForgeSameCrc32(const std::string& original, const std::string& payload);

}  // namespace tvl::test
