#pragma once

// The one JSON text form of the work log, the analytics bodies and the
// node-statistics text: a property tree written compactly, every value as a
// JSON string, a tree whose children all have empty keys as an array, two
// marker values for an empty object and an empty array, and the bytes below
// 0x20 (but for \b \t \n \f \r) and from 0x80 up escaped as \u00XX; DEL (0x7F)
// is written as it is. Stateless; safe from any thread.

#include <boost/property_tree/ptree_fwd.hpp>
#include <iosfwd>
#include <string>

namespace tvl {

// A value equal to one of these is written as {} or [] instead of a string.
inline constexpr char jsonEmptyObject[] = "boost::property_tree::json_parser::empty_object";
inline constexpr char jsonEmptyArray[] = "boost::property_tree::json_parser::empty_array";

// Writes the tree followed by a line feed and flushes. Throws
// boost::property_tree::json_parser::json_parser_error whose message() is "ptree contains
// data that cannot be represented in JSON format" when the top-level tree has a
// value or any tree has both a value and children (nothing is written then),
// and "write error" when the stream is in error afterwards.
void WriteJsonText(std::ostream& out, const boost::property_tree::ptree& tree);

// WriteJsonText into a string, line feed included.
std::string JsonText(const boost::property_tree::ptree& tree);

}  // namespace tvl
