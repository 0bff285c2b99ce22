#include "engine/manifest/ManifestParsing.h"

#include <algorithm>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>
#include <cstring>
#include <istream>
#include <streambuf>
#include <string>

#include "engine/manifest/ManifestExceptions.h"

namespace tvl {
namespace {

constexpr const char kAttributes[] = "<xmlattr>";

// Manifests nest a few levels deep; a deeper document is hostile and would
// only exhaust the stack of the library's recursive readers and of the fold.
constexpr int kMaxDepth = 64;

// Peak resident bytes per node, measured in talvane-get at about 380 (XML:
// rapidxml's node while reading, the tree's node and its child container),
// with room to spare.
constexpr std::uint64_t kNodeBytes = 512;
// What the nodes may take: a fixed allowance plus 4 bytes per byte of text. The
// text itself costs about 5 times its size at the peak (the fetched body and
// the XML reader's copy, both grown by doubling).
constexpr std::uint64_t kFixedNodeAllowance = 32ull << 20;
constexpr std::uint64_t kNodeAllowancePerTextByte = 4;

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

struct Shape {
    int depth = 0;  // deepest nesting seen, capped just past the limit
    std::uint64_t nodes = 0;
};

bool StartsWith(const std::string& text, std::size_t at, const char* prefix) {
    return text.compare(at, std::strlen(prefix), prefix) == 0;
}

bool IsXmlBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// What the XML reader would build, in one pass that visits each character a
// bounded number of times. It may overestimate (it counts an attribute as two
// nodes, as the fold makes it, and a text run as one, as rapidxml does while
// reading), never underestimate: comments, CDATA, declarations and the
// document type are skipped exactly where rapidxml skips them.
Shape XmlShape(const std::string& text) {
    Shape shape;
    int depth = 0;
    bool inTextRun = false;
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        const char c = text[i];
        if (c != '<') {
            if (!inTextRun && !IsXmlBlank(c)) {
                inTextRun = true;
                ++shape.nodes;
            }
            ++i;
            continue;
        }
        inTextRun = false;
        std::size_t end = std::string::npos;
        if (StartsWith(text, i, "<!--")) {
            ++shape.nodes;
            end = text.find("-->", i + 4);
            end = end == std::string::npos ? end : end + 2;
        } else if (StartsWith(text, i, "<![CDATA[")) {
            ++shape.nodes;
            end = text.find("]]>", i + 9);
            end = end == std::string::npos ? end : end + 2;
        } else if (StartsWith(text, i, "<?")) {
            end = text.find("?>", i + 2);
            end = end == std::string::npos ? end : end + 1;
        } else if (StartsWith(text, i, "<!DOCTYPE")) {
            int brackets = 0;
            for (std::size_t j = i + 9; j < n; ++j) {
                if (text[j] == '[') {
                    ++brackets;
                } else if (text[j] == ']') {
                    --brackets;
                } else if (text[j] == '>' && brackets <= 0) {
                    end = j;
                    break;
                }
            }
        } else if (StartsWith(text, i, "<!")) {
            end = text.find('>', i + 2);
        } else if (StartsWith(text, i, "</")) {
            depth = std::max(depth - 1, 0);
            end = text.find('>', i + 2);
        } else {
            // An element: its attributes are the '=' signs outside quotes.
            std::uint64_t attributes = 0;
            char quote = 0;
            for (std::size_t j = i + 1; j < n; ++j) {
                const char t = text[j];
                if (quote != 0) {
                    quote = t == quote ? 0 : quote;
                } else if (t == '"' || t == '\'') {
                    quote = t;
                } else if (t == '=') {
                    ++attributes;
                } else if (t == '>') {
                    end = j;
                    break;
                }
            }
            shape.nodes += 1 + (attributes > 0 ? 1 + 2 * attributes : 0);
            if (end == std::string::npos || text[end - 1] != '/') {
                shape.depth = std::max(shape.depth, ++depth);
                if (depth > kMaxDepth) {
                    return shape;
                }
            }
        }
        if (end == std::string::npos) {
            break;  // unterminated: the reader refuses it
        }
        i = end + 1;
    }
    return shape;
}

Shape JsonShape(const std::string& text) {
    Shape shape;
    shape.nodes = 1;
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
            ++shape.nodes;
            shape.depth = std::max(shape.depth, ++depth);
            if (depth > kMaxDepth) {
                return shape;
            }
        } else if (c == ']' || c == '}') {
            depth = std::max(depth - 1, 0);
        } else if (c == ',') {
            ++shape.nodes;
        }
    }
    return shape;
}

void CheckShape(const Shape& shape, std::uint64_t textBytes) {
    if (shape.depth > kMaxDepth) {
        throw ManifestParseException("manifest nested deeper than " + std::to_string(kMaxDepth) + " levels");
    }
    if (shape.nodes > ManifestNodeBudget(textBytes)) {
        throw ManifestParseException("manifest of " + std::to_string(textBytes) + " bytes would make " +
                                     std::to_string(shape.nodes) + " nodes, more than " +
                                     std::to_string(ManifestNodeBudget(textBytes)));
    }
}

void CheckSize(std::uint64_t textBytes) {
    if (textBytes > MaxManifestBytes) {
        throw ManifestParseException("manifest larger than " + std::to_string(MaxManifestBytes) + " bytes");
    }
}

// Reads the stream's text, refusing it as soon as it passes the limit: a stream
// that can tell its length is read in one piece of exactly that size.
std::string ReadBounded(std::istream& in) {
    std::string text;
    std::streambuf* buffer = in.rdbuf();
    if (buffer == nullptr) {
        throw ManifestParseException();
    }
    const auto here = buffer->pubseekoff(0, std::ios::cur, std::ios::in);
    const auto end = buffer->pubseekoff(0, std::ios::end, std::ios::in);
    if (here != std::streampos(-1) && end != std::streampos(-1) && end >= here) {
        buffer->pubseekpos(here, std::ios::in);
        const auto length = static_cast<std::uint64_t>(end - here);
        CheckSize(length);
        text.resize(static_cast<std::size_t>(length));
        const auto wanted = static_cast<std::streamsize>(length);
        if (buffer->sgetn(&text[0], wanted) != wanted) {
            throw ManifestParseException();
        }
        return text;
    }
    char block[64 * 1024];
    while (true) {
        const std::streamsize got = buffer->sgetn(block, sizeof block);
        if (got <= 0) {
            break;
        }
        text.append(block, static_cast<std::size_t>(got));
        CheckSize(text.size());
    }
    return text;
}

// An input stream over text that stays where it is.
class TextBuffer : public std::streambuf {
public:
    explicit TextBuffer(const std::string& text) {
        char* begin = const_cast<char*>(text.data());
        setg(begin, begin, begin + text.size());
    }
};

}  // namespace

std::uint64_t ManifestNodeBudget(std::uint64_t textBytes) {
    return (kFixedNodeAllowance + kNodeAllowancePerTextByte * textBytes) / kNodeBytes;
}

void FoldXmlAttributes(boost::property_tree::ptree& tree) { Fold(tree, 0); }

void ParseXmlManifestText(const std::string& text, boost::property_tree::ptree& tree) {
    WithManifestParseErrors([&] {
        CheckSize(text.size());
        CheckShape(XmlShape(text), text.size());
        TextBuffer buffer(text);
        std::istream stream(&buffer);
        boost::property_tree::read_xml(stream, tree, 0);
        FoldXmlAttributes(tree);
    });
}

void ParseJsonManifestText(const std::string& text, boost::property_tree::ptree& tree) {
    WithManifestParseErrors([&] {
        CheckSize(text.size());
        CheckShape(JsonShape(text), text.size());
        TextBuffer buffer(text);
        std::istream stream(&buffer);
        boost::property_tree::read_json(stream, tree);
    });
}

void ParseXmlManifest(std::istream& in, boost::property_tree::ptree& tree) {
    WithManifestParseErrors([&] { ParseXmlManifestText(ReadBounded(in), tree); });
}

void ParseJsonManifest(std::istream& in, boost::property_tree::ptree& tree) {
    WithManifestParseErrors([&] { ParseJsonManifestText(ReadBounded(in), tree); });
}

}  // namespace tvl
