#pragma once

// `talvane-analytics serve` and `talvane-analytics prune`: their options and
// bodies. `arguments` are the words after the subcommand; the result is the
// exit status (0, 1 for a failure with one line on `err`, 2 for a usage error).
// Serve runs until SIGINT or SIGTERM, which the calling thread must not
// already be handling; one call per process.

#include <iosfwd>
#include <string>
#include <vector>

namespace tvl::analytics {

int RunServe(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);
int RunPrune(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

}  // namespace tvl::analytics
