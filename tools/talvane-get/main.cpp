// talvane-get: downloads one package through the transfer engine.

#include <signal.h>

#include <atomic>
#include <iostream>

#include "tools/talvane-get/TalvaneGet.h"

namespace {

std::atomic<bool> interrupted{false};

void OnInterrupt(int) { interrupted = true; }

}  // namespace

int main(int argc, char** argv) {
    tvl::get::GetOptions options;
    try {
        options = tvl::get::ParseGetArguments(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const tvl::get::UsageError& e) {
        std::cerr << "talvane-get: " << e.what() << "\n" << tvl::get::kGetUsage;
        return 2;
    }
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    try {
        return tvl::get::RunGet(options, std::cout, std::cerr, interrupted);
    } catch (const std::exception& e) {
        std::cerr << "talvane-get: " << e.what() << "\n";
        return 1;
    }
}
