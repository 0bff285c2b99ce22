// The demonstration's downloader program: what the updater downloads and
// launches. It shows the arguments it was started with, and writes them one
// per line to $TALVANE_DEMO_REPORT when that is set, so that the demo can
// check what the updater passed on.

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iostream>

int main(int argc, char** argv) {
    std::cout << "Talvane demo downloader: started by the updater with " << (argc - 1) << " arguments\n";
    for (int i = 1; i < argc; ++i) {
        std::cout << "  [" << i << "] " << argv[i] << "\n";
    }
    char folder[4096];
    if (getcwd(folder, sizeof(folder)) != nullptr) {
        std::cout << "  working folder: " << folder << "\n";
    }
    if (const char* report = std::getenv("TALVANE_DEMO_REPORT")) {
        std::ofstream out(report, std::ios::trunc);
        for (int i = 1; i < argc; ++i) {
            out << argv[i] << "\n";
        }
    }
    std::cout << "Talvane demo downloader: done\n";
    return 0;
}
