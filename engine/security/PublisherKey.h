#pragma once

// The publisher's Ed25519 keys, through libcrypto. A public key travels as
// text, "ed25519:" followed by the 32 key bytes in base64, which is what a
// deployment file and a signature name; a private key lives in a PEM file
// (PKCS #8) that only its owner can read.

#include <array>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tvl {

class KeyError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class PublicKey {
public:
    // Throws KeyError for anything but "ed25519:<base64 of 32 bytes>".
    static PublicKey FromText(std::string_view text);
    // The first line of the file that is neither empty nor a "#" comment.
    static PublicKey FromFile(const std::string& path);

    std::string Text() const;
    bool operator==(const PublicKey& other) const { return bytes_ == other.bytes_; }
    bool operator!=(const PublicKey& other) const { return !(*this == other); }

    // True when `signature` is this key's Ed25519 signature of `message`.
    bool Verifies(std::string_view message, std::string_view signature) const;

private:
    explicit PublicKey(const std::array<std::uint8_t, 32>& bytes) : bytes_(bytes) {}
    friend class PrivateKey;

    std::array<std::uint8_t, 32> bytes_;
};

class PrivateKey {
public:
    static PrivateKey Generate();
    // Throws KeyError when the file is not an Ed25519 private key in PEM.
    static PrivateKey FromFile(const std::string& path);

    PrivateKey(PrivateKey&&) noexcept;
    PrivateKey& operator=(PrivateKey&&) noexcept;
    ~PrivateKey();

    PublicKey Public() const;
    // The raw 64-byte Ed25519 signature.
    std::string Sign(std::string_view message) const;
    // Creates the file with mode 0600; refuses to replace an existing one,
    // since that would lose the key it holds.
    void WriteNewFile(const std::string& path) const;

private:
    struct Handle;
    explicit PrivateKey(std::unique_ptr<Handle> handle);
    std::unique_ptr<Handle> handle_;
};

std::string Base64Encode(std::string_view bytes);
// Throws KeyError for text that is not canonical padded base64.
std::string Base64Decode(std::string_view text);

}  // namespace tvl
