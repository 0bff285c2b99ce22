#pragma once

#include <string>

namespace tvl {

// The one-character marker "?" that stands for a value not given, throughout
// the system. One shared immutable instance.
const std::string& Unspecified();

inline bool IsUnspecified(const std::string& value) { return value == Unspecified(); }

}  // namespace tvl
