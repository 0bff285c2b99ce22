#pragma once

// Starts a program with posix_spawn and, when asked, waits for it with
// waitpid. The argument string is split back into arguments by the rules of
// SplitCommandLine. Linux has no elevation verb to ask for, so the elevation
// request changes nothing, as for a file type without one. The program gets
// the updater's environment but none of its open files beyond the standard
// three. Used on one thread at a time; Run with wait blocks that thread.

#include <string>

#include "app/SimpleProcess.h"

namespace tvl {

class PosixProcess : public SimpleProcess {
  public:
    explicit PosixProcess(std::string path);

    bool Run(bool wait, bool elevate, const std::string& arguments,
             const std::string& workingDirectory) override;
};

}  // namespace tvl
