#pragma once

// Reads a GNU MO file (little-endian, revision 0) into its id-to-text map, so
// that tests can look at an embedded catalog without going through a locale.

#include <cstddef>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>

#include "resources/MessageCatalogs.h"

namespace tvl::test {

using MoEntries = std::map<std::string, std::string>;

inline MoEntries ReadMoFile(const char* bytes, std::size_t size) {
    const auto word = [&](std::size_t offset) {
        if (offset > size || size - offset < 4) {
            throw std::runtime_error("MO file truncated");
        }
        std::uint32_t value = 0;
        for (int i = 3; i >= 0; --i) {
            value = (value << 8) | static_cast<unsigned char>(bytes[offset + i]);
        }
        return static_cast<std::size_t>(value);
    };
    const auto text = [&](std::size_t table, std::size_t index) {
        const std::size_t length = word(table + 8 * index);
        const std::size_t offset = word(table + 8 * index + 4);
        if (offset > size || size - offset <= length || bytes[offset + length] != '\0') {
            throw std::runtime_error("MO string outside the file");
        }
        return std::string(bytes + offset, length);
    };
    if (word(0) != 0x950412de || word(4) != 0) {
        throw std::runtime_error("not a little-endian revision 0 MO file");
    }
    const std::size_t count = word(8);
    if (count > size / 16) {
        throw std::runtime_error("MO entry count too large");
    }
    MoEntries entries;
    for (std::size_t i = 0; i < count; ++i) {
        if (!entries.emplace(text(word(12), i), text(word(16), i)).second) {
            throw std::runtime_error("MO file has an id twice");
        }
    }
    return entries;
}

// The entries of the catalog embedded under this resource id.
inline MoEntries ReadEmbeddedCatalog(unsigned id) {
    const EmbeddedMessageCatalogData data = FindEmbeddedMessageCatalog(id);
    if (data.bytes == nullptr) {
        throw std::runtime_error("no embedded catalog " + std::to_string(id));
    }
    return ReadMoFile(data.bytes, data.size);
}

}  // namespace tvl::test
