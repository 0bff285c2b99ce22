#include "tools/talvane-get/JsonRecord.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace tvl::get {
namespace {

// The length of the UTF-8 sequence starting at text[i], 0 when it is not
// one (overlong forms, surrogates and values beyond U+10FFFF included).
std::size_t Utf8Length(const std::string& text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length = 0;
    unsigned min = 0;
    unsigned value = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, min = 0x80, value = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, min = 0x800, value = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, min = 0x10000, value = lead & 0x07u;
    } else {
        return 0;
    }
    if (i + length > text.size()) {
        return 0;
    }
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0u) != 0x80u) {
            return 0;
        }
        value = (value << 6) | (byte(i + k) & 0x3Fu);
    }
    if (value < min || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return 0;
    }
    return length;
}

void AppendQuoted(std::string& out, const std::string& text) {
    out += '"';
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            const std::size_t length = Utf8Length(text, i);
            if (length == 0) {
                out += "\\ufffd";
                ++i;
            } else {
                out.append(text, i, length);
                i += length;
            }
            continue;
        }
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    char escape[8];
                    std::snprintf(escape, sizeof escape, "\\u%04x", c);
                    out += escape;
                } else {
                    out += static_cast<char>(c);
                }
        }
        ++i;
    }
    out += '"';
}

}  // namespace

void JsonRecord::Key(const std::string& key) {
    if (!members_.empty()) {
        members_ += ',';
    }
    AppendQuoted(members_, key);
    members_ += ':';
}

JsonRecord& JsonRecord::String(const std::string& key, const std::string& value) {
    Key(key);
    AppendQuoted(members_, value);
    return *this;
}

JsonRecord& JsonRecord::Unsigned(const std::string& key, std::uint64_t value) {
    Key(key);
    members_ += std::to_string(value);
    return *this;
}

JsonRecord& JsonRecord::Integer(const std::string& key, std::int64_t value) {
    Key(key);
    members_ += std::to_string(value);
    return *this;
}

JsonRecord& JsonRecord::Decimal(const std::string& key, double value, int decimals) {
    Key(key);
    // JSON has no NaN or infinity.
    if (!std::isfinite(value)) {
        members_ += "null";
        return *this;
    }
    // to_chars, unlike printf, never writes a decimal comma whatever the locale.
    char text[400];
    const auto written = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
    members_.append(text, written.ptr);
    return *this;
}

JsonRecord& JsonRecord::Boolean(const std::string& key, bool value) {
    Key(key);
    members_ += value ? "true" : "false";
    return *this;
}

JsonRecord& JsonRecord::Null(const std::string& key) {
    Key(key);
    members_ += "null";
    return *this;
}

std::string JsonRecord::Text() const {
    return "{" + members_ + "}";
}

}  // namespace tvl::get
