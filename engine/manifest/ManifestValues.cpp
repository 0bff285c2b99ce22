#include "engine/manifest/ManifestValues.h"

#include <boost/property_tree/ptree.hpp>

#include "engine/manifest/ManifestExceptions.h"

namespace tvl {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string Trimmed(const std::string& text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && IsBlank(text[begin])) {
        ++begin;
    }
    while (end > begin && IsBlank(text[end - 1])) {
        --end;
    }
    return text.substr(begin, end - begin);
}

}  // namespace

std::optional<std::uint64_t> ParseDecimal(const std::string& text, std::uint64_t max) {
    const std::string digits = Trimmed(text);
    if (digits.empty()) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (max - digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 + digit;
    }
    return value;
}

std::optional<bool> ParseBoolean(const std::string& text) {
    const std::string word = Trimmed(text);
    if (word == "true" || word == "1") {
        return true;
    }
    if (word == "false" || word == "0") {
        return false;
    }
    return std::nullopt;
}

bool IsPathSafeId(const std::string& id) {
    if (id.empty() || id == "." || id.find("..") != std::string::npos) {
        return false;
    }
    for (char c : id) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || c == '/' || c == '\\' || c == '%') {
            return false;
        }
    }
    return true;
}

const std::string& RequiredString(const boost::property_tree::ptree& tree, const char* key) {
    const auto child = tree.get_child_optional(boost::property_tree::ptree::path_type(key, '\0'));
    if (!child) {
        throw ManifestParseException();
    }
    return child->data();
}

std::string OptionalString(const boost::property_tree::ptree& tree, const char* key, const std::string& fallback) {
    const auto child = tree.get_child_optional(boost::property_tree::ptree::path_type(key, '\0'));
    return child ? child->data() : fallback;
}

std::uint64_t RequiredDecimal(const boost::property_tree::ptree& tree, const char* key, std::uint64_t max) {
    const auto value = ParseDecimal(RequiredString(tree, key), max);
    if (!value) {
        throw ManifestParseException();
    }
    return *value;
}

}  // namespace tvl
