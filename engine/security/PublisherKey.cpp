#include "engine/security/PublisherKey.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace tvl {
namespace {

constexpr char kPrefix[] = "ed25519:";
constexpr std::size_t kSignatureBytes = 64;

struct PkeyDeleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyDeleter>;

struct MdContextDeleter {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using MdContextPtr = std::unique_ptr<EVP_MD_CTX, MdContextDeleter>;

struct BioDeleter {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using BioPtr = std::unique_ptr<BIO, BioDeleter>;

std::string Trimmed(std::string_view text) {
    const char* blanks = " \t\r\n";
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) {
        return std::string();
    }
    const std::size_t last = text.find_last_not_of(blanks);
    return std::string(text.substr(first, last - first + 1));
}

}  // namespace

std::string Base64Encode(std::string_view bytes) {
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                        reinterpret_cast<const unsigned char*>(bytes.data()),
                                        static_cast<int>(bytes.size()));
    text.resize(static_cast<std::size_t>(written));
    return text;
}

std::string Base64Decode(std::string_view text) {
    if (text.empty() || text.size() % 4 != 0 || text.size() > (1u << 20)) {
        throw KeyError("not base64");
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool padding = c == '=' && i + 2 >= text.size() && (i + 1 == text.size() || text[i + 1] == '=');
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/' || padding)) {
            throw KeyError("not base64");
        }
    }
    std::string bytes(3 * (text.size() / 4), '\0');
    const int decoded = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                        reinterpret_cast<const unsigned char*>(text.data()),
                                        static_cast<int>(text.size()));
    if (decoded < 0) {
        throw KeyError("not base64");
    }
    // EVP_DecodeBlock counts padding as zero bytes.
    std::size_t size = static_cast<std::size_t>(decoded);
    for (std::size_t i = text.size(); i > 0 && text[i - 1] == '='; --i) {
        --size;
    }
    bytes.resize(size);
    // Only the canonical text of these bytes is accepted, so that one key or
    // signature has exactly one spelling.
    if (Base64Encode(bytes) != text) {
        throw KeyError("not canonical base64");
    }
    return bytes;
}

PublicKey PublicKey::FromText(std::string_view text) {
    const std::string trimmed = Trimmed(text);
    if (trimmed.compare(0, sizeof kPrefix - 1, kPrefix) != 0) {
        throw KeyError("a publisher key starts with \"ed25519:\"");
    }
    std::string bytes;
    try {
        bytes = Base64Decode(std::string_view(trimmed).substr(sizeof kPrefix - 1));
    } catch (const KeyError&) {
        throw KeyError("a publisher key is \"ed25519:\" and the key's 32 bytes in base64");
    }
    std::array<std::uint8_t, 32> key{};
    if (bytes.size() != key.size()) {
        throw KeyError("a publisher key is \"ed25519:\" and the key's 32 bytes in base64");
    }
    std::memcpy(key.data(), bytes.data(), key.size());
    return PublicKey(key);
}

PublicKey PublicKey::FromFile(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        throw KeyError("cannot read " + path);
    }
    std::string line;
    for (int lines = 0; lines < 64 && std::getline(in, line); ++lines) {
        const std::string trimmed = Trimmed(line);
        if (!trimmed.empty() && trimmed[0] != '#') {
            try {
                return FromText(trimmed);
            } catch (const KeyError& e) {
                throw KeyError(path + ": " + e.what());
            }
        }
    }
    throw KeyError(path + ": no publisher key in the file");
}

std::string PublicKey::Text() const {
    return kPrefix + Base64Encode(std::string_view(reinterpret_cast<const char*>(bytes_.data()), bytes_.size()));
}

bool PublicKey::Verifies(std::string_view message, std::string_view signature) const {
    if (signature.size() != kSignatureBytes) {
        return false;
    }
    const PkeyPtr key(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, bytes_.data(), bytes_.size()));
    const MdContextPtr context(EVP_MD_CTX_new());
    if (!key || !context || EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1) {
        return false;
    }
    return EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                            signature.size(), reinterpret_cast<const unsigned char*>(message.data()),
                            message.size()) == 1;
}

struct PrivateKey::Handle {
    PkeyPtr key;
};

PrivateKey::PrivateKey(std::unique_ptr<Handle> handle) : handle_(std::move(handle)) {}
PrivateKey::PrivateKey(PrivateKey&&) noexcept = default;
PrivateKey& PrivateKey::operator=(PrivateKey&&) noexcept = default;
PrivateKey::~PrivateKey() = default;

PrivateKey PrivateKey::Generate() {
    EVP_PKEY* raw = nullptr;
    const std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> context(
        EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr), EVP_PKEY_CTX_free);
    if (!context || EVP_PKEY_keygen_init(context.get()) != 1 || EVP_PKEY_keygen(context.get(), &raw) != 1) {
        throw KeyError("cannot make an Ed25519 key");
    }
    auto handle = std::make_unique<Handle>();
    handle->key.reset(raw);
    return PrivateKey(std::move(handle));
}

PrivateKey PrivateKey::FromFile(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        throw KeyError("cannot read " + path + ": " + std::strerror(errno));
    }
    PkeyPtr key(PEM_read_PrivateKey(file, nullptr, nullptr, nullptr));
    std::fclose(file);
    if (!key || EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519) {
        throw KeyError(path + " is not an Ed25519 private key in PEM");
    }
    auto handle = std::make_unique<Handle>();
    handle->key = std::move(key);
    return PrivateKey(std::move(handle));
}

PublicKey PrivateKey::Public() const {
    std::array<std::uint8_t, 32> bytes{};
    std::size_t size = bytes.size();
    if (EVP_PKEY_get_raw_public_key(handle_->key.get(), bytes.data(), &size) != 1 || size != bytes.size()) {
        throw KeyError("cannot read the public half of the key");
    }
    return PublicKey(bytes);
}

std::string PrivateKey::Sign(std::string_view message) const {
    const MdContextPtr context(EVP_MD_CTX_new());
    std::string signature(kSignatureBytes, '\0');
    std::size_t size = signature.size();
    if (!context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, handle_->key.get()) != 1 ||
        EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &size,
                       reinterpret_cast<const unsigned char*>(message.data()), message.size()) != 1 ||
        size != kSignatureBytes) {
        throw KeyError("signing failed");
    }
    return signature;
}

void PrivateKey::WriteNewFile(const std::string& path) const {
    const int descriptor = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (descriptor < 0) {
        throw KeyError("cannot create " + path + ": " + std::strerror(errno));
    }
    std::FILE* file = fdopen(descriptor, "wb");
    if (file == nullptr) {
        close(descriptor);
        unlink(path.c_str());
        throw KeyError("cannot write " + path);
    }
    const bool written = PEM_write_PrivateKey(file, handle_->key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
    const bool flushed = std::fflush(file) == 0 && fsync(fileno(file)) == 0;
    const bool closed = std::fclose(file) == 0;
    if (!written || !flushed || !closed) {
        unlink(path.c_str());
        throw KeyError("cannot write " + path);
    }
}

}  // namespace tvl
