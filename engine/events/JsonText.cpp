#include "engine/events/JsonText.h"

#include <boost/property_tree/json_parser/error.hpp>
#include <boost/property_tree/ptree.hpp>
#include <ostream>

namespace tvl {
namespace {

using boost::property_tree::ptree;

bool Representable(const ptree& tree, bool topLevel) {
    const std::string& value = tree.data();
    if (!value.empty() && (topLevel || !tree.empty())) {
        return false;
    }
    for (const auto& child : tree) {
        if (!Representable(child.second, false)) {
            return false;
        }
    }
    return true;
}

void AppendString(std::string& out, const std::string& text) {
    static const char hex[] = "0123456789ABCDEF";
    out += '"';
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (byte) {
            case '\b':
                out += "\\b";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\r':
                out += "\\r";
                break;
            case '"':
                out += "\\\"";
                break;
            case '/':
                out += "\\/";
                break;
            case '\\':
                out += "\\\\";
                break;
            default:
                // Each byte of a multi-byte UTF-8 character becomes an escape of
                // its own, which is what the readers of these texts expect.
                if (byte < 0x20 || byte >= 0x80) {
                    out += "\\u00";
                    out += hex[byte >> 4];
                    out += hex[byte & 0x0F];
                } else {
                    out += c;
                }
        }
    }
    out += '"';
}

bool IsArray(const ptree& tree) {
    for (const auto& child : tree) {
        if (!child.first.empty()) {
            return false;
        }
    }
    return true;
}

void AppendTree(std::string& out, const ptree& tree, bool topLevel) {
    if (tree.empty() && !topLevel) {
        const std::string& value = tree.data();
        if (value == jsonEmptyObject) {
            out += "{}";
        } else if (value == jsonEmptyArray) {
            out += "[]";
        } else {
            AppendString(out, value);
        }
        return;
    }
    // An empty top-level tree counts as an array: an empty list of records.
    const bool array = IsArray(tree);
    out += array ? '[' : '{';
    bool first = true;
    for (const auto& child : tree) {
        if (!first) {
            out += ',';
        }
        first = false;
        if (!array) {
            AppendString(out, child.first);
            out += ':';
        }
        AppendTree(out, child.second, false);
    }
    out += array ? ']' : '}';
}

std::string Render(const ptree& tree) {
    if (!Representable(tree, true)) {
        throw boost::property_tree::json_parser::json_parser_error(
            "ptree contains data that cannot be represented in JSON format", std::string(), 0);
    }
    std::string text;
    AppendTree(text, tree, true);
    text += '\n';
    return text;
}

}  // namespace

void WriteJsonText(std::ostream& out, const ptree& tree) {
    out << Render(tree);
    out.flush();
    if (!out.good()) {
        throw boost::property_tree::json_parser::json_parser_error("write error", std::string(), 0);
    }
}

std::string JsonText(const ptree& tree) {
    return Render(tree);
}

}  // namespace tvl
