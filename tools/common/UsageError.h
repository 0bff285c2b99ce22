#pragma once

// A command line a tool cannot accept; the message names the option. Kept
// apart from CommandLine.h so that a tool's interface can name it without
// pulling in Program_options.

#include <stdexcept>

namespace tvl::cli {

class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

}  // namespace tvl::cli
