#include "engine/security/Sha256.h"

#include <openssl/evp.h>

#include <mutex>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

namespace tvl {

struct Sha256::Context {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    ~Context() { EVP_MD_CTX_free(context); }
};

Sha256::Sha256() : context_(std::make_unique<Context>()) {
    if (context_->context == nullptr) {
        throw std::bad_alloc();
    }
    if (EVP_DigestInit_ex(context_->context, EVP_sha256(), nullptr) != 1) {
        throw std::runtime_error("SHA-256 is not available");
    }
}

Sha256::~Sha256() = default;

void Sha256::Update(const void* data, std::size_t length) {
    if (length != 0 && EVP_DigestUpdate(context_->context, data, length) != 1) {
        throw std::runtime_error("SHA-256 update failed");
    }
}

Sha256Digest Sha256::Finish() {
    Sha256Digest digest{};
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(context_->context, digest.data(), &size) != 1 || size != digest.size() ||
        EVP_DigestInit_ex(context_->context, EVP_sha256(), nullptr) != 1) {
        throw std::runtime_error("SHA-256 failed");
    }
    return digest;
}

Sha256Digest Sha256Of(const void* data, std::size_t length) {
    Sha256 sha;
    sha.Update(data, length);
    return sha.Finish();
}

Sha256Digest Sha256OfZeros(std::uint64_t length) {
    static std::mutex mutex;
    static std::vector<std::pair<std::uint64_t, Sha256Digest>> known;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (const auto& [size, digest] : known) {
            if (size == length) {
                return digest;
            }
        }
    }
    static const std::vector<char> zeros(1 << 16, 0);
    Sha256 sha;
    for (std::uint64_t left = length; left != 0;) {
        const std::size_t piece = left < zeros.size() ? static_cast<std::size_t>(left) : zeros.size();
        sha.Update(zeros.data(), piece);
        left -= piece;
    }
    const Sha256Digest digest = sha.Finish();
    std::lock_guard<std::mutex> lock(mutex);
    if (known.size() >= 4) {
        known.erase(known.begin());
    }
    known.emplace_back(length, digest);
    return digest;
}

std::string ToHex(const Sha256Digest& digest) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(digest.size() * 2);
    for (const std::uint8_t byte : digest) {
        text += digits[byte >> 4];
        text += digits[byte & 0xF];
    }
    return text;
}

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool ParseSha256Hex(std::string_view text, Sha256Digest& digest) {
    if (text.size() != digest.size() * 2) {
        return false;
    }
    for (std::size_t i = 0; i < digest.size(); ++i) {
        const int high = HexDigitValue(text[2 * i]);
        const int low = HexDigitValue(text[2 * i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        digest[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return true;
}

}  // namespace tvl
