// talvane-get: downloads one package through the transfer engine.

#include <atomic>
#include <iostream>

#include "app/ShutdownSignals.h"
#include "tools/talvane-get/TalvaneGet.h"

int main(int argc, char** argv) {
    return tvl::get::RunGetCommandLine(
        std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr,
        [](const tvl::get::GetOptions& options) {
            // Before the engine starts its threads. SIGINT, SIGTERM and SIGHUP
            // all suspend the transfer so that --restore continues it. The
            // flag outlives the watcher that writes it.
            std::atomic<int> interruption{0};
            tvl::ShutdownSignals signals;
            signals.SetHandler([&interruption](int number) { interruption = number; });
            return tvl::get::RunGet(options, std::cout, std::cerr, interruption);
        });
}
