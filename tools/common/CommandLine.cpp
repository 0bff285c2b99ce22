#include "tools/common/CommandLine.h"

#include <boost/program_options/errors.hpp>
#include <boost/program_options/parsers.hpp>
#include <boost/program_options/positional_options.hpp>
#include <boost/program_options/value_semantic.hpp>
#include <charconv>
#include <ostream>

#include "resources/ProgramVersion.h"

namespace tvl::cli {

namespace po = boost::program_options;

namespace {

// Words that are not options land here, so that the first one can be named
// in the error instead of Program_options' count of positional options.
constexpr char kStrayWords[] = "stray-words";

}  // namespace

std::int64_t NumberInRange(const std::string& option, const std::string& text, std::int64_t min,
                           std::int64_t max) {
    std::int64_t value = 0;
    const char* const end = text.data() + text.size();
    // from_chars takes no "+" and no blanks, so "1e3", " 5" and "" all fail.
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end || value < min || value > max) {
        throw UsageError(option + " takes a number from " + std::to_string(min) + " to " +
                         std::to_string(max) + ", not '" + text + "'");
    }
    return value;
}

std::string Text(const po::variables_map& values, const std::string& name) {
    return values.count(name) != 0 ? values[name].as<std::string>() : std::string();
}

CommandLine::CommandLine(std::string program, std::vector<std::string> synopsis, std::string summary)
    : program_(std::move(program)),
      synopsis_(std::move(synopsis)),
      summary_(std::move(summary)),
      options_("Options", 100, 50) {
    options_.add_options()                      //
        ("help,h", "print this help and exit")  //
        ("version", "print the program's version and exit");
    hidden_.add_options()(kStrayWords, po::value<std::vector<std::string>>());
}

po::options_description_easy_init CommandLine::Add() {
    return options_.add_options();
}

po::variables_map CommandLine::Parse(const std::vector<std::string>& arguments) const {
    po::options_description all;
    all.add(options_).add(hidden_);
    po::positional_options_description positional;
    positional.add(kStrayWords, -1);
    // Guessing would let "--ver" mean --version today and something else once
    // an option is added; only whole names are accepted.
    const int style = po::command_line_style::unix_style & ~po::command_line_style::allow_guessing;
    po::variables_map values;
    try {
        po::store(po::command_line_parser(arguments).options(all).positional(positional).style(style).run(),
                  values);
        po::notify(values);
    } catch (const po::error& e) {
        throw UsageError(e.what());
    }
    if (values.count(kStrayWords) != 0) {
        throw UsageError("unexpected argument '" +
                         values[kStrayWords].as<std::vector<std::string>>().front() + "'");
    }
    return values;
}

int CommandLine::Run(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err,
                     const std::function<int(const po::variables_map&)>& body) const {
    try {
        const po::variables_map values = Parse(arguments);
        if (values.count("help") != 0) {
            PrintHelp(out);
            return 0;
        }
        if (values.count("version") != 0) {
            out << VersionLine(program_) << "\n";
            return 0;
        }
        return body(values);
    } catch (const UsageError& e) {
        return ReportUsageError(e.what(), err);
    } catch (const std::exception& e) {
        err << program_ << ": " << e.what() << "\n";
        return 1;
    }
}

void CommandLine::PrintHelp(std::ostream& out) const {
    for (std::size_t i = 0; i < synopsis_.size(); ++i) {
        out << (i == 0 ? "Usage: " : "  or:  ") << program_ << " " << synopsis_[i] << "\n";
    }
    out << "\n" << summary_ << "\n\n" << options_;
}

int CommandLine::ReportUsageError(const std::string& message, std::ostream& err) const {
    err << program_ << ": " << message << "\n"
        << "Try '" << program_ << " --help' for more information.\n";
    return kUsageStatus;
}

}  // namespace tvl::cli
