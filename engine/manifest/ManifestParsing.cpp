#include "engine/manifest/ManifestParsing.h"

#include <algorithm>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>
#include <cstring>
#include <exception>
#include <expat.h>
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

void AppendUtf8(std::uint32_t code, std::string& out) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// The reference at the start of `text` ("&amp;", "&#233;", "&#xE9;"), which
// the XML parser has already found well-formed: appends what it stands for and
// returns its length.
std::size_t AppendReference(std::string_view text, std::string& out) {
    const std::size_t end = text.find(';');
    if (end == std::string_view::npos) {
        throw ManifestParseException("unterminated reference in manifest");
    }
    const std::string_view name = text.substr(1, end - 1);
    if (name == "amp") {
        out += '&';
    } else if (name == "lt") {
        out += '<';
    } else if (name == "gt") {
        out += '>';
    } else if (name == "quot") {
        out += '"';
    } else if (name == "apos") {
        out += '\'';
    } else if (name.size() >= 2 && name[0] == '#') {
        const bool hex = name[1] == 'x';
        std::uint32_t code = 0;
        for (const char c : name.substr(hex ? 2 : 1)) {
            const int digit = c >= '0' && c <= '9'   ? c - '0'
                              : hex && c >= 'a' && c <= 'f' ? c - 'a' + 10
                              : hex && c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                            : -1;
            if (digit < 0 || code > 0x10FFFF) {
                throw ManifestParseException("bad character reference in manifest");
            }
            code = code * (hex ? 16 : 10) + static_cast<std::uint32_t>(digit);
        }
        if (code > 0x10FFFF) {
            throw ManifestParseException("bad character reference in manifest");
        }
        AppendUtf8(code, out);
    } else {
        throw ManifestParseException("entity reference in manifest");
    }
    return end + 1;
}

// Drives expat over the text. Expat checks that the document is well-formed
// and says where each piece of markup lies; names, values and text runs are
// then cut out of the text itself, so that they are exactly what the tree
// reader makes of them. Expat is told the text is Latin-1 whatever it
// declares: every byte is then one character and its offsets are the text's.
class StreamReader {
public:
    StreamReader(const std::string& text, XmlEventHandler& handler)
        : text_(text), handler_(handler), parser_(XML_ParserCreate("ISO-8859-1")) {
        if (parser_ == nullptr) {
            throw std::bad_alloc();
        }
        XML_SetUserData(parser_, this);
        XML_SetElementHandler(parser_, &StreamReader::OnStart, &StreamReader::OnEnd);
        XML_SetCommentHandler(parser_, &StreamReader::OnComment);
        XML_SetProcessingInstructionHandler(parser_, &StreamReader::OnInstruction);
        XML_SetCdataSectionHandler(parser_, &StreamReader::OnCdataStart, &StreamReader::OnCdataEnd);
        XML_SetEntityDeclHandler(parser_, &StreamReader::OnEntityDeclaration);
        XML_SetSkippedEntityHandler(parser_, &StreamReader::OnSkippedEntity);
    }
    ~StreamReader() { XML_ParserFree(parser_); }
    StreamReader(const StreamReader&) = delete;
    StreamReader& operator=(const StreamReader&) = delete;

    void Run() {
        // Expat takes the text in pieces, copying each. A token cut by a piece
        // is scanned again from its start with the next one, so the pieces grow
        // while a token spans them: a long token costs time linear in it.
        constexpr std::size_t kFirstPiece = 1u << 20;
        std::size_t piece = kFirstPiece;
        std::size_t fed = 0;
        do {
            const std::size_t length = std::min(piece, text_.size() - fed);
            const bool last = fed + length == text_.size();
            if (XML_Parse(parser_, text_.data() + fed, static_cast<int>(length), last ? XML_TRUE : XML_FALSE) !=
                XML_STATUS_OK) {
                Fail();
            }
            fed += length;
            const XML_Index at = XML_GetCurrentByteIndex(parser_);
            const std::size_t pending = at < 0 ? fed : fed - std::min(fed, static_cast<std::size_t>(at));
            if (pending > piece / 2) {
                piece *= 2;
            }
        } while (fed < text_.size());
    }

private:
    [[noreturn]] void Fail() {
        if (error_) {
            std::rethrow_exception(error_);
        }
        throw ManifestParseException("manifest is not well-formed XML (line " +
                                     std::to_string(XML_GetCurrentLineNumber(parser_)) +
                                     "): " + XML_ErrorString(XML_GetErrorCode(parser_)));
    }

    template <typename Body>
    static void Guarded(void* data, Body&& body) {
        auto* self = static_cast<StreamReader*>(data);
        if (self->error_) {
            return;  // expat may report a little more after being stopped
        }
        try {
            body(*self);
        } catch (...) {
            self->error_ = std::current_exception();
            XML_StopParser(self->parser_, XML_FALSE);
        }
    }

    // Where the markup that expat reports now lies in the text: offset, length.
    std::pair<std::size_t, std::size_t> Place() const {
        const XML_Index at = XML_GetCurrentByteIndex(parser_);
        const int count = XML_GetCurrentByteCount(parser_);
        if (at < 0 || count < 0 || static_cast<std::uint64_t>(at) + static_cast<std::uint64_t>(count) > text_.size()) {
            throw ManifestParseException("manifest reader lost its place");
        }
        return {static_cast<std::size_t>(at), static_cast<std::size_t>(count)};
    }

    // Ends the text run that the markup at `at` closes. The tree reader
    // appends every run to its element's data, blanks and all.
    void EndRun(std::size_t at) {
        if (depth_ > 0 && at > runStart_) {
            handler_.Text(depth_, XmlRawText{std::string_view(text_.data() + runStart_, at - runStart_), false});
        }
    }

    // Markup that ends the current text run and starts the next one after it.
    void PassMarkup() {
        const auto [at, count] = Place();
        EndRun(at);
        runStart_ = at + count;
    }

    static void OnStart(void* data, const XML_Char*, const XML_Char**) {
        Guarded(data, [](StreamReader& self) {
            const auto [at, count] = self.Place();
            self.PassMarkup();
            if (++self.depth_ > kMaxDepth) {
                throw ManifestParseException("manifest nested deeper than " + std::to_string(kMaxDepth) + " levels");
            }
            const std::string_view tag(self.text_.data() + at, count);
            const std::string_view name = self.SplitTag(tag);
            self.handler_.StartElement(self.depth_, name, self.attributes_);
        });
    }

    static void OnEnd(void* data, const XML_Char*) {
        Guarded(data, [](StreamReader& self) {
            self.PassMarkup();  // an empty element's end takes no text: it is where its start ends
            self.handler_.EndElement(self.depth_);
            --self.depth_;
        });
    }

    static void OnComment(void* data, const XML_Char*) {
        Guarded(data, [](StreamReader& self) {
            self.PassMarkup();
            if (self.depth_ > 0) {
                self.handler_.Comment(self.depth_);
            }
        });
    }

    static void OnInstruction(void* data, const XML_Char*, const XML_Char*) {
        Guarded(data, [](StreamReader& self) { self.PassMarkup(); });
    }

    static void OnCdataStart(void* data) {
        Guarded(data, [](StreamReader& self) { self.PassMarkup(); });
    }

    static void OnCdataEnd(void* data) {
        Guarded(data, [](StreamReader& self) {
            const auto [at, count] = self.Place();
            if (self.depth_ > 0) {
                const std::string_view content(self.text_.data() + self.runStart_, at - self.runStart_);
                self.handler_.Text(self.depth_, XmlRawText{content, true});
            }
            self.runStart_ = at + count;
        });
    }

    static void OnEntityDeclaration(void* data, const XML_Char*, int, const XML_Char*, int, const XML_Char*,
                                    const XML_Char*, const XML_Char*, const XML_Char*) {
        Guarded(data, [](StreamReader&) { throw ManifestParseException("manifest declares an entity"); });
    }

    static void OnSkippedEntity(void* data, const XML_Char*, int) {
        Guarded(data, [](StreamReader&) { throw ManifestParseException("manifest uses an undeclared entity"); });
    }

    // The name and the attributes of a start tag that expat found well-formed.
    std::string_view SplitTag(std::string_view tag) {
        attributes_.clear();
        std::size_t i = 1;
        const auto nameEnd = [&] {
            while (i < tag.size() && !IsXmlBlank(tag[i]) && tag[i] != '/' && tag[i] != '>' && tag[i] != '=') {
                ++i;
            }
        };
        const auto skipBlanks = [&] {
            while (i < tag.size() && IsXmlBlank(tag[i])) {
                ++i;
            }
        };
        nameEnd();
        const std::string_view name = tag.substr(1, i - 1);
        while (true) {
            skipBlanks();
            if (i >= tag.size() || tag[i] == '/' || tag[i] == '>') {
                break;
            }
            const std::size_t nameStart = i;
            nameEnd();
            const std::string_view attribute = tag.substr(nameStart, i - nameStart);
            skipBlanks();
            if (i >= tag.size() || tag[i] != '=') {
                throw ManifestParseException("manifest reader lost its place");
            }
            ++i;
            skipBlanks();
            if (i >= tag.size() || (tag[i] != '"' && tag[i] != '\'')) {
                throw ManifestParseException("manifest reader lost its place");
            }
            const std::size_t close = tag.find(tag[i], i + 1);
            if (close == std::string_view::npos) {
                throw ManifestParseException("manifest reader lost its place");
            }
            attributes_.push_back({attribute, XmlRawText{tag.substr(i + 1, close - i - 1), false}});
            i = close + 1;
        }
        return name;
    }

    const std::string& text_;
    XmlEventHandler& handler_;
    XML_Parser parser_;
    int depth_ = 0;
    std::size_t runStart_ = 0;  // where the text after the last markup begins
    std::vector<XmlRawAttribute> attributes_;
    std::exception_ptr error_;
};

}  // namespace

void XmlRawText::AppendTo(std::string& out) const {
    if (cdata) {
        out.append(raw);
        return;
    }
    std::size_t i = 0;
    while (i < raw.size()) {
        const std::size_t amp = raw.find('&', i);
        if (amp == std::string_view::npos) {
            out.append(raw.substr(i));
            break;
        }
        out.append(raw.substr(i, amp - i));
        i = amp + AppendReference(raw.substr(amp), out);
    }
}

std::string XmlRawText::Decoded() const {
    std::string out;
    AppendTo(out);
    return out;
}

void StreamXmlManifest(const std::string& text, XmlEventHandler& handler) {
    if (text.size() > MaxPackageManifestBytes) {
        throw ManifestParseException("manifest larger than " + std::to_string(MaxPackageManifestBytes) + " bytes");
    }
    StreamReader reader(text, handler);
    reader.Run();
}

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
