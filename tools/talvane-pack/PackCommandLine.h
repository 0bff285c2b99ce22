#pragma once

// The packer's command lines: "talvane-pack OPTIONS" builds a package,
// "talvane-pack keygen --out FILE" makes a publisher's key pair. Both read
// their options the way every tool does (tools/common/CommandLine.h). Run on
// one thread.

#include <iosfwd>
#include <string>
#include <vector>

#include "tools/common/UsageError.h"
#include "tools/talvane-pack/PackageBuilder.h"

namespace tvl::pack {

// The options a command line names; throws cli::UsageError for anything it
// cannot accept. Does not require the options a build needs (RunPack does).
PackageOptions ParsePackArguments(const std::vector<std::string>& arguments);

// The whole program for `arguments` (without the program path): help,
// version, the build and its one-line report on `out`, errors on `err`.
// Returns the exit status: 0, 1 failure, 2 usage.
int RunPack(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

// "talvane-pack keygen ARGUMENTS": prints the line a deployment file takes on
// `out`, errors on `err`; returns the exit status (0, 1 failure, 2 usage).
int RunKeygen(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

}  // namespace tvl::pack
