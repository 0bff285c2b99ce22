#pragma once

// Strict readers for the text values of manifests, which come from servers.
// The property tree's own stream conversion accepts "-1" for an unsigned
// number and wraps it; these accept only what the format allows.

#include <boost/property_tree/ptree_fwd.hpp>
#include <cstdint>
#include <optional>
#include <string>

namespace tvl {

// Decimal digits, optionally surrounded by blanks; nullopt when anything else
// or out of range.
std::optional<std::uint64_t> ParseDecimal(const std::string& text, std::uint64_t max);

// "true"/"false"/"1"/"0", optionally surrounded by blanks; nullopt otherwise.
std::optional<bool> ParseBoolean(const std::string& text);

// Whether an id can stand as one segment of a request path: not empty, not
// ".", and without "..", "/", "\\", "%" (which URL builders decode into any
// of these) or control characters. Partner, package and version ids name
// folders on the servers, so one that fails this could move a request out of
// its folder.
bool IsPathSafeId(const std::string& id);

// The value at a key; throws ManifestParseException when the key is missing.
const std::string& RequiredString(const boost::property_tree::ptree& tree, const char* key);
std::string OptionalString(const boost::property_tree::ptree& tree, const char* key, const std::string& fallback);
std::uint64_t RequiredDecimal(const boost::property_tree::ptree& tree, const char* key, std::uint64_t max);

}  // namespace tvl
