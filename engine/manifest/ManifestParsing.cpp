#include "engine/manifest/ManifestParsing.h"

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>
#include <istream>
#include <iterator>
#include <sstream>
#include <string>

#include "engine/manifest/ManifestExceptions.h"

namespace tvl {
namespace {

constexpr const char kAttributes[] = "<xmlattr>";

// Manifests nest a few levels deep; a deeper document is hostile and would
// only exhaust the stack of the recursive fold.
constexpr int kMaxDepth = 64;

void Fold(boost::property_tree::ptree& node, int depth) {
    if (depth > kMaxDepth) {
        throw ManifestParseException();
    }
    for (auto& child : node) {
        if (child.first != kAttributes) {
            Fold(child.second, depth + 1);
        }
    }
    if (const auto attributes = node.get_child_optional(boost::property_tree::ptree::path_type(kAttributes, '\0'))) {
        const boost::property_tree::ptree copy = *attributes;
        for (const auto& attribute : copy) {
            node.push_back(attribute);
        }
    }
}

// The library's readers descend recursively, so a hostile document nested
// millions deep would overflow the stack before any check of ours runs. These
// scans bound the depth first; they may overestimate (a "<" inside a comment
// counts), never underestimate.
bool XmlNestsTooDeep(const std::string& text) {
    int depth = 0;
    for (std::size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] != '<') {
            continue;
        }
        const char next = text[i + 1];
        if (next == '/') {
            --depth;
        } else if (next != '!' && next != '?') {
            const std::size_t close = text.find('>', i);
            const bool selfClosing = close != std::string::npos && close > 0 && text[close - 1] == '/';
            if (!selfClosing && ++depth > kMaxDepth) {
                return true;
            }
        }
    }
    return false;
}

bool JsonNestsTooDeep(const std::string& text) {
    int depth = 0;
    bool inString = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > kMaxDepth) {
                return true;
            }
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return false;
}

std::string ReadAll(std::istream& in) {
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        throw ManifestParseException();
    }
    return text;
}

}  // namespace

void FoldXmlAttributes(boost::property_tree::ptree& tree) { Fold(tree, 0); }

void ParseXmlManifest(std::istream& in, boost::property_tree::ptree& tree) {
    WithManifestParseErrors([&] {
        const std::string text = ReadAll(in);
        if (XmlNestsTooDeep(text)) {
            throw ManifestParseException();
        }
        std::istringstream stream(text);
        boost::property_tree::read_xml(stream, tree, 0);
        FoldXmlAttributes(tree);
    });
}

void ParseJsonManifest(std::istream& in, boost::property_tree::ptree& tree) {
    WithManifestParseErrors([&] {
        const std::string text = ReadAll(in);
        if (JsonNestsTooDeep(text)) {
            throw ManifestParseException();
        }
        std::istringstream stream(text);
        boost::property_tree::read_json(stream, tree);
    });
}

}  // namespace tvl
