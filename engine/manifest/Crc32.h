#pragma once

// The CRC-32 (IEEE 802.3, the zlib polynomial) of the file manifests, the one
// checksum function of the whole engine. Pure; safe from any thread.

#include <cstddef>
#include <cstdint>

namespace tvl {

// Continues a checksum: Crc32(Crc32(0, a), b) == Crc32 of a followed by b.
std::uint32_t Crc32(std::uint32_t crc, const void* data, std::size_t size);

inline std::uint32_t Crc32(const void* data, std::size_t size) { return Crc32(0, data, size); }

// The checksum of `size` zero bytes, remembered per size: a chunk of a file
// the engine has just allocated holds zeros, and comparing against this spares
// reading it back.
std::uint32_t Crc32OfZeros(std::size_t size);

}  // namespace tvl
