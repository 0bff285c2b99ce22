#pragma once

// Runs a program to its end as a child process, input from /dev/null and its
// output collected, for tests of whole programs: their exit status and what
// they print. The wait is bounded; a child still running at the limit is
// killed. Safe from any thread.

#include <chrono>
#include <string>
#include <vector>

namespace tvl::test {

struct ProgramOutcome {
    int exitCode = -1;  // -1: ended by a signal, or killed at the limit
    std::string out;
    std::string err;
};

// `program` is a path; `arguments` do not include it. The child inherits the
// test's environment.
ProgramOutcome RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                          std::chrono::milliseconds limit = std::chrono::seconds(60));

}  // namespace tvl::test
