// Property trees made from the input (arbitrary bytes in keys and values,
// arrays, objects, the two empty-container markers, nesting) through the one
// JSON text writer. A representable tree must come out as the bytes 0x20 to
// 0x7F with only the promised escapes, followed by one line feed, and read back
// with the library's JSON reader to the same tree: each byte from 0x80 up
// reads back as the character of that code point, and a marker as an empty
// value. A tree that cannot be represented must fail with the promised
// message without writing anything.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <sstream>
#include <string>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include "engine/events/JsonText.h"

namespace {

using boost::property_tree::ptree;
using boost::property_tree::json_parser::json_parser_error;

constexpr int kMaxDepth = 6;
constexpr int kMaxChildren = 6;
constexpr std::size_t kMaxText = 48;

[[noreturn]] void Fail() { __builtin_trap(); }

std::string Text(FuzzedDataProvider& input) {
    switch (input.ConsumeIntegralInRange<int>(0, 9)) {
        case 0:
            return tvl::jsonEmptyObject;
        case 1:
            return tvl::jsonEmptyArray;
        case 2:
            return std::string();
        default:
            return input.ConsumeRandomLengthString(kMaxText);
    }
}

// Builds a tree; tells whether the writer must refuse it.
bool Build(FuzzedDataProvider& input, ptree& node, int depth, bool topLevel) {
    const int children = depth < kMaxDepth ? input.ConsumeIntegralInRange<int>(0, kMaxChildren) : 0;
    if (children == 0) {
        if (!topLevel) {
            node.data() = Text(input);
            return false;
        }
        // Now and then a value of the top-level tree itself.
        if (input.ConsumeIntegralInRange<int>(0, 7) == 0) {
            node.data() = input.ConsumeRandomLengthString(kMaxText);
        }
        return !node.data().empty();
    }
    const bool array = input.ConsumeBool();
    bool refused = false;
    for (int i = 0; i < children && input.remaining_bytes() > 0; ++i) {
        const std::string key = array ? std::string() : input.ConsumeRandomLengthString(kMaxText);
        ptree& child = node.push_back(ptree::value_type(key, ptree()))->second;
        refused = Build(input, child, depth + 1, false) || refused;
    }
    // Now and then a value where only children may be.
    if (input.ConsumeIntegralInRange<int>(0, 15) == 0) {
        node.data() = input.ConsumeRandomLengthString(kMaxText);
        refused = refused || !node.data().empty();
    }
    return refused;
}

std::string Latin1ToUtf8(const std::string& bytes) {
    std::string text;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            text += c;
        } else {
            text += static_cast<char>(0xC0 | (byte >> 6));
            text += static_cast<char>(0x80 | (byte & 0x3F));
        }
    }
    return text;
}

// The tree the reader must give back.
ptree Expected(const ptree& tree, bool topLevel) {
    ptree result;
    if (tree.empty()) {
        const std::string& value = tree.data();
        if (!topLevel && value != tvl::jsonEmptyObject && value != tvl::jsonEmptyArray) {
            result.data() = Latin1ToUtf8(value);
        }
        return result;
    }
    for (const auto& child : tree) {
        result.push_back(ptree::value_type(Latin1ToUtf8(child.first), Expected(child.second, false)));
    }
    return result;
}

bool IsHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

int HexValue(char c) { return c <= '9' ? c - '0' : c - 'A' + 10; }

// Outside strings only the structural characters; inside, printable ASCII
// except the three characters that must be escaped, and only the escapes the
// writer promises, each for exactly the bytes it stands for.
void CheckForm(const std::string& text) {
    if (text.empty() || text.back() != '\n') {
        Fail();
    }
    bool inString = false;
    for (std::size_t i = 0; i + 1 < text.size(); ++i) {
        const char c = text[i];
        const auto byte = static_cast<unsigned char>(c);
        if (!inString) {
            if (c == '"') {
                inString = true;
            } else if (c != '{' && c != '}' && c != '[' && c != ']' && c != ',' && c != ':') {
                Fail();
            }
            continue;
        }
        if (c == '"') {
            inString = false;
        } else if (c == '\\') {
            if (i + 2 >= text.size()) {
                Fail();
            }
            const char escape = text[++i];
            if (escape == 'u') {
                if (i + 5 >= text.size() || text[i + 1] != '0' || text[i + 2] != '0' || !IsHex(text[i + 3]) ||
                    !IsHex(text[i + 4])) {
                    Fail();
                }
                const int value = HexValue(text[i + 3]) * 16 + HexValue(text[i + 4]);
                const bool shortForm =
                    value == '\b' || value == '\t' || value == '\n' || value == '\f' || value == '\r';
                if ((value >= 0x20 && value < 0x80) || shortForm) {
                    Fail();
                }
                i += 4;
            } else if (escape != 'b' && escape != 't' && escape != 'n' && escape != 'f' && escape != 'r' &&
                       escape != '"' && escape != '/' && escape != '\\') {
                Fail();
            }
        } else if (byte < 0x20 || byte >= 0x80 || c == '/') {
            Fail();
        }
    }
    if (inString) {
        Fail();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, unsigned long size) {
    FuzzedDataProvider input(data, size);
    ptree tree;
    const bool refused = Build(input, tree, 0, true);

    std::ostringstream stream;
    try {
        tvl::WriteJsonText(stream, tree);
    } catch (const json_parser_error& e) {
        if (!refused || e.message() != "ptree contains data that cannot be represented in JSON format" ||
            !stream.str().empty()) {
            Fail();
        }
        return 0;
    }
    if (refused) {
        Fail();
    }
    const std::string text = tvl::JsonText(tree);
    if (stream.str() != text) {
        Fail();
    }
    CheckForm(text);

    // No exception is caught here: the writer's output must parse.
    std::istringstream in(text);
    ptree read;
    boost::property_tree::read_json(in, read);
    if (read != Expected(tree, true)) {
        Fail();
    }

    std::ostringstream broken;
    broken.setstate(std::ios::badbit);
    try {
        tvl::WriteJsonText(broken, tree);
        Fail();
    } catch (const json_parser_error& e) {
        if (e.message() != "write error") {
            Fail();
        }
    }
    return 0;
}
