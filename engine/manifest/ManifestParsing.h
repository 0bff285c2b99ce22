#pragma once

// Turns a manifest's text into a property tree. XML attributes are folded into
// ordinary children so that a value reads the same whether the server wrote
// it as an attribute or as a child element. Any failure is
// ManifestParseException. Pure functions; safe from any thread.
//
// A tree costs a few hundred bytes per node whatever the text spends on it, so
// a small document of tiny elements could take gigabytes. Before building, a
// linear scan bounds the nesting and the number of nodes the document would
// make; a document over MaxManifestBytes, or one whose tree would not fit in
// ManifestNodeBudget of its size, is refused without being parsed. Reading then
// peaks at about 8 times the text plus 32 MiB.
//
// Package manifests list every file of a package, tens of thousands for a game,
// about ten nodes each: no tree of the whole document is built for them.
// StreamXmlManifest reads the text in one pass and reports its elements, and
// the package reader keeps only what it reads.

#include <boost/property_tree/ptree_fwd.hpp>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

namespace tvl {

// Node lists and geolocation answers, read as trees: far above what they need.
inline constexpr std::uint64_t MaxManifestBytes = 4ull << 20;
// Package manifests, read in one pass: about 180 000 small files, or the
// checksums of a package of 2 TiB in 1 MiB chunks.
inline constexpr std::uint64_t MaxPackageManifestBytes = 16ull << 20;

// The most tree nodes a document of `textBytes` bytes may build.
std::uint64_t ManifestNodeBudget(std::uint64_t textBytes);

void ParseXmlManifest(std::istream& in, boost::property_tree::ptree& tree);
void ParseJsonManifest(std::istream& in, boost::property_tree::ptree& tree);
// The same from text already in memory, without another copy of it.
void ParseXmlManifestText(const std::string& text, boost::property_tree::ptree& tree);
void ParseJsonManifestText(const std::string& text, boost::property_tree::ptree& tree);

// Depth first: a node's own children are folded before its attributes are
// appended to it, so a child element of the same name is found first.
void FoldXmlAttributes(boost::property_tree::ptree& tree);

// Text as the document has it, pointing into the text being read. AppendTo
// decodes it as the tree reader does: in a text run or an attribute value the
// five predefined entities and character references are replaced and every
// other byte is kept, line ends and blanks included; a CDATA section is kept
// as it is.
struct XmlRawText {
    std::string_view raw;
    bool cdata = false;

    void AppendTo(std::string& out) const;
    std::string Decoded() const;
};

struct XmlRawAttribute {
    std::string_view name;
    XmlRawText value;
};

// What StreamXmlManifest reports, in document order. The document element is
// at depth 1. Exceptions thrown here end the reading and reach its caller.
class XmlEventHandler {
public:
    virtual ~XmlEventHandler() = default;
    virtual void StartElement(int depth, std::string_view name, const std::vector<XmlRawAttribute>& attributes) = 0;
    // Text the tree reader appends to the data of the element at `depth`: a
    // run between two pieces of markup, blanks included, or a CDATA section.
    // Runs of one element come one by one.
    virtual void Text(int depth, const XmlRawText& text) = 0;
    // A comment directly inside the element at `depth`; the tree reader makes
    // it a child named "<xmlcomment>". Processing instructions are dropped by
    // both readers.
    virtual void Comment(int depth) = 0;
    virtual void EndElement(int depth) = 0;
};

// Reads an XML document of at most MaxPackageManifestBytes in one pass,
// holding little more than the element being read. The document must be
// well-formed XML, nested at most as deep as a tree may be, and must not
// declare or use entities of its own (which would let a few bytes of text
// expand into gigabytes); names and values are taken byte for byte from the
// text, whatever encoding it declares, as the tree reader takes them.
// ManifestParseException when it is not such a document.
void StreamXmlManifest(const std::string& text, XmlEventHandler& handler);

}  // namespace tvl
