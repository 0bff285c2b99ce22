// talvane-pack: turns a folder into a package the download nodes can serve.

#include <iostream>
#include <string>
#include <vector>

#include "tools/talvane-pack/PackCommandLine.h"

int main(int argc, char** argv) {
    if (argc >= 2 && std::string(argv[1]) == "keygen") {
        return tvl::pack::RunKeygen(std::vector<std::string>(argv + 2, argv + argc), std::cout, std::cerr);
    }
    return tvl::pack::RunPack(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
