#pragma once

// The one way the command-line tools read their options: Boost.Program_options
// underneath, with the conventions people know from other Linux tools:
// "--opt value" and "--opt=value"; --help (usage and every option, on stdout)
// and --version (the project's version and revision, on stdout), both ending
// the program with status 0; a usage error as one line on stderr that names
// the option, then a hint to --help, and status 2. A program describes its
// options once and hands its body to Run. Not thread-safe; one per program run.

#include <boost/program_options/options_description.hpp>
#include <boost/program_options/variables_map.hpp>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "tools/common/UsageError.h"

namespace tvl::cli {

inline constexpr int kUsageStatus = 2;

// The text of a number option checked against its range: whole decimal
// numbers only. UsageError "--retries takes a number from 0 to 1000" otherwise.
std::int64_t NumberInRange(const std::string& option, const std::string& text, std::int64_t min,
                           std::int64_t max);

// The text of an option; empty when it was not given.
std::string Text(const boost::program_options::variables_map& values, const std::string& name);

// When the option `name` was given, sets `target` to its number, checked as
// NumberInRange checks it; otherwise leaves `target` as it is.
template <typename Target>
void SetNumber(const boost::program_options::variables_map& values, const std::string& name, std::int64_t min,
               std::int64_t max, Target& target) {
    if (values.count(name) != 0) {
        target = static_cast<Target>(NumberInRange("--" + name, Text(values, name), min, max));
    }
}

class CommandLine {
  public:
    // `program` names the tool in every message ("talvane-pack keygen" for a
    // subcommand); `synopsis` is the usage, one form per line, each without
    // the program name; `summary` is the sentence --help shows below it.
    CommandLine(std::string program, std::vector<std::string> synopsis, std::string summary);

    // Where the program describes its options, in Program_options' terms.
    boost::program_options::options_description_easy_init Add();

    // The options of `arguments` (the program path not included). Throws
    // UsageError for an unknown option, a missing or repeated value, or a
    // word that is not an option's value.
    boost::program_options::variables_map Parse(const std::vector<std::string>& arguments) const;

    // Parses and answers --help or --version on `out`; otherwise runs `body`
    // with the options. A UsageError from either is reported on `err` with the
    // hint (status 2); any other exception as "program: what" (status 1).
    int Run(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err,
            const std::function<int(const boost::program_options::variables_map&)>& body) const;

    void PrintHelp(std::ostream& out) const;
    // The two lines of a usage error; returns kUsageStatus.
    int ReportUsageError(const std::string& message, std::ostream& err) const;

    const std::string& Program() const { return program_; }

  private:
    std::string program_;
    std::vector<std::string> synopsis_;
    std::string summary_;
    boost::program_options::options_description options_;
    boost::program_options::options_description hidden_;
};

}  // namespace tvl::cli
