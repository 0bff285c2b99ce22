#pragma once

// The version every program of the project reports: the release number of the
// build (CMake's project version) and the source revision the build tree was
// configured from, "unknown" when it was not configured from a git checkout.
// Constants; safe from any thread.

#include <string>

namespace tvl {

extern const char kProjectVersion[];
extern const char kSourceRevision[];

// "talvane-get 1.2.1 (rev 0a48366)": the line a program prints for --version.
std::string VersionLine(const std::string& program);

}  // namespace tvl
