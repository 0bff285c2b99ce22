#pragma once

// Splits an argument string the way the Windows command line is split into
// arguments, so that a string built for that convention reaches a POSIX
// program as the same arguments: blanks and tabs separate arguments outside
// double quotes; double quotes group and are removed; 2n backslashes before a
// double quote become n backslashes and the quote groups, 2n + 1 become n
// backslashes and a literal quote; other backslashes are kept as they are.
// "" gives an empty argument. Safe from any thread.

#include <string>
#include <vector>

namespace tvl {

std::vector<std::string> SplitCommandLine(const std::string& arguments);

}  // namespace tvl
