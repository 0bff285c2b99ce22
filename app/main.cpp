// talvane-updater: fetches the product's downloader and skin packages, starts
// the downloader and stays until it ends.

#include <iostream>
#include <string>

#include "app/TalvaneUpdater.h"
#include "app/UpdaterContext.h"
#include "resources/Deployment.h"
#include "resources/ProgramVersion.h"

namespace {

const char kHelp[] =
    "Usage: talvane-updater [packageVersion=ID] [skinVersion=ID] [log=N]\n"
    "\n"
    "Fetches the product's downloader and skin packages into the user's cache folder, starts the\n"
    "downloader and stays until it ends. The deployment it serves is compiled in; the command line\n"
    "adds only these values, each one word:\n"
    "\n"
    "  packageVersion=ID  the product version, handed to the downloader as /version\n"
    "                     (default: the deployment's, if it names one)\n"
    "  skinVersion=ID     the version of the skin package to fetch (default: the current one)\n"
    "  log=N              the work-log mask, 0 to 4294967295, also handed to the downloader as /log\n"
    "  -h, --help         print this help and exit\n"
    "  --version          print the program's version and exit\n"
    "\n"
    "Other words are ignored. The exit status is 0 once the updater has shown its outcome.\n";

}  // namespace

int main(int argc, char** argv) {
    // The updater's own values are key=value words it never complains about;
    // these two ask for something else and are answered before anything starts.
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--help" || word == "-h") {
            std::cout << kHelp;
            return 0;
        }
        if (word == "--version") {
            std::cout << tvl::VersionLine("talvane-updater") << "\n";
            return 0;
        }
    }
    tvl::TalvaneUpdater updater;
    // The command line is re-read from the process by the context.
    const tvl::UpdaterContext context(&tvl::CompiledDeployment(), "Brennic Technologies/Talvane Delivery");
    return updater.Run(context);
}
