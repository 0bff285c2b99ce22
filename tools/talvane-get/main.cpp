// talvane-get: downloads one package through the transfer engine.

#include <atomic>
#include <iostream>

#include "app/ShutdownSignals.h"
#include "tools/talvane-get/TalvaneGet.h"

int main(int argc, char** argv) {
    tvl::get::GetOptions options;
    try {
        options = tvl::get::ParseGetArguments(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const tvl::get::UsageError& e) {
        std::cerr << "talvane-get: " << e.what() << "\n" << tvl::get::kGetUsage;
        return 2;
    }
    try {
        // Before the engine starts its threads. SIGINT, SIGTERM and SIGHUP
        // all suspend the transfer so that --restore continues it.
        tvl::ShutdownSignals signals;
        std::atomic<int> interruption{0};
        signals.SetHandler([&interruption](int number) { interruption = number; });
        return tvl::get::RunGet(options, std::cout, std::cerr, interruption);
    } catch (const std::exception& e) {
        std::cerr << "talvane-get: " << e.what() << "\n";
        return 1;
    }
}
