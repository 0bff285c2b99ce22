// talvane-analytics: the publisher's side of the engine's analytics. `serve`
// receives the posts and stores them, `prune` drops old records, `report`
// shows what they say.

#include <iostream>
#include <string>
#include <vector>

#include "resources/ProgramVersion.h"
#include "tools/talvane-analytics/CollectorCommandLine.h"
#ifdef TALVANE_ANALYTICS_REPORT
#include "tools/talvane-analytics/Report.h"
#endif

namespace {

void PrintUsage(std::ostream& out) {
    out << "Usage: talvane-analytics serve|prune|report [options]\n"
           "  or:  talvane-analytics --help|--version\n"
           "The publisher's side of the engine's analytics.\n"
           "\n"
           "Subcommands:\n"
           "  serve    receive the engine's analytics posts and store them\n"
           "  prune    delete records older than a number of days\n"
           "  report   the publisher's report from the stored records\n"
           "\n"
           "Options:\n"
           "  -h, --help    print this help (each subcommand takes --help too)\n"
           "  --version     print the program's version\n";
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc >= 2 ? argv[1] : "";
    const std::vector<std::string> arguments(argv + std::min(argc, 2), argv + argc);
    if (command == "serve") {
        return tvl::analytics::RunServe(arguments, std::cout, std::cerr);
    }
    if (command == "prune") {
        return tvl::analytics::RunPrune(arguments, std::cout, std::cerr);
    }
    if (command == "report") {
#ifdef TALVANE_ANALYTICS_REPORT
        return tvl::analytics::RunReport(arguments, std::cout, std::cerr);
#else
        std::cerr << "talvane-analytics report: not built yet\n";
        return 1;
#endif
    }
    if (command == "--help" || command == "-h") {
        PrintUsage(std::cout);
        return 0;
    }
    if (command == "--version") {
        std::cout << tvl::VersionLine("talvane-analytics") << "\n";
        return 0;
    }
    std::cerr << "talvane-analytics: " << (command.empty() ? "a subcommand is required" : "unknown subcommand " + command)
              << "\n";
    std::cerr << "Try 'talvane-analytics --help' for more information.\n";
    return 2;
}
