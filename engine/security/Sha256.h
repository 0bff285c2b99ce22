#pragma once

// SHA-256 through libcrypto, which picks the CPU's own instructions where it
// has them: the strong digest that a publisher's signature extends to every
// chunk. Not thread-safe per object; one per thread or per chunk.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace tvl {

using Sha256Digest = std::array<std::uint8_t, 32>;

class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void Update(const void* data, std::size_t length);
    // The digest of everything given since construction or the last Finish;
    // the object is ready for a new message afterwards.
    Sha256Digest Finish();

private:
    struct Context;
    std::unique_ptr<Context> context_;
};

Sha256Digest Sha256Of(const void* data, std::size_t length);
inline Sha256Digest Sha256Of(std::string_view text) { return Sha256Of(text.data(), text.size()); }

// The digest of `length` zero bytes; remembers the last few lengths asked,
// since a package asks for the same one or two chunk sizes over and over.
// Safe from any thread.
Sha256Digest Sha256OfZeros(std::uint64_t length);

std::string ToHex(const Sha256Digest& digest);
// 0 to 15 for a hexadecimal digit of either case, -1 for anything else.
int HexDigitValue(char c);
// False for anything but exactly 64 hexadecimal digits.
bool ParseSha256Hex(std::string_view text, Sha256Digest& digest);

}  // namespace tvl
