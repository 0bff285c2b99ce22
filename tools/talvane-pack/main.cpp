// talvane-pack: turns a folder into a package the download nodes can serve.

#include <iostream>
#include <string>
#include <vector>

#include "tools/talvane-pack/PackageBuilder.h"

namespace {

const char kUsage[] =
    "usage: talvane-pack --input DIR --output ROOT --partner ID --package ID --version ID --name NAME\n"
    "                    [--run PATH] [--chunk-size BYTES] [--policy None|Whitelist|Blacklist --countries "
    "CC,...]\n"
    "                    [--inactive] [--current] [--nodes [https://]HOST:PORT[,...] [--node-path PATH] "
    "[--weights N,...]]\n"
    "                    [--threads N] [--sign-key FILE [--expires-in DAYS] [--issued SECONDS]]\n"
    "       talvane-pack keygen --out FILE\n";

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::string(argv[1]) == "keygen") {
        return tvl::pack::RunKeygen(std::vector<std::string>(argv + 2, argv + argc), std::cout, std::cerr);
    }
    tvl::pack::PackageOptions options;
    try {
        options = tvl::pack::ParsePackArguments(std::vector<std::string>(argv + 1, argv + argc));
        if (options.input.empty() || options.output.empty() || options.partnerId.empty() ||
            options.packageId.empty() || options.versionId.empty() || options.name.empty()) {
            std::cerr << kUsage;
            return 2;
        }
    } catch (const tvl::pack::PackError& e) {
        std::cerr << "talvane-pack: " << e.what() << "\n" << kUsage;
        return 2;
    }
    try {
        const tvl::pack::PackResult result = tvl::pack::BuildPackage(options);
        std::cout << "packed " << result.files.size() << " files, " << result.totalBytes << " bytes: "
                  << result.manifestPath << "\n";
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "talvane-pack: " << e.what() << "\n";
        return 1;
    }
}
