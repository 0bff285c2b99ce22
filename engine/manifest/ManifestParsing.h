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

#include <boost/property_tree/ptree_fwd.hpp>
#include <cstdint>
#include <iosfwd>
#include <string>

namespace tvl {

// Far above what real packages need: a package of 100 GiB in 1 MiB chunks
// lists about 800 KB of checksums.
inline constexpr std::uint64_t MaxManifestBytes = 4ull << 20;

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

}  // namespace tvl
