#pragma once

// Turns a manifest's text into a property tree. XML attributes are folded into
// ordinary children so that a value reads the same whether the server wrote
// it as an attribute or as a child element. Any failure is
// ManifestParseException. Pure functions; safe from any thread.

#include <boost/property_tree/ptree_fwd.hpp>
#include <iosfwd>

namespace tvl {

void ParseXmlManifest(std::istream& in, boost::property_tree::ptree& tree);
void ParseJsonManifest(std::istream& in, boost::property_tree::ptree& tree);

// Depth first: a node's own children are folded before its attributes are
// appended to it, so a child element of the same name is found first.
void FoldXmlAttributes(boost::property_tree::ptree& tree);

}  // namespace tvl
