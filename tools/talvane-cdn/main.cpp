// talvane-cdn: the content provider's servers on loopback for tests and the demo.
//
//   talvane-cdn --root DIR [--nodes N] [--fixed-ports] [--country CC]
//
// Prints one "name address" line per endpoint and then "ready", and serves until
// SIGINT or SIGTERM. With --fixed-ports the demo deployment's ports are used:
// manifest host 47800, geolocation and analytics events 47801, analytics
// transfers 47802, download nodes from 47810 on; otherwise every port is ephemeral.

#include <signal.h>

#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>

#include "tools/talvane-cdn/CdnServer.h"

namespace {

int Usage() {
    std::cerr << "usage: talvane-cdn --root DIR [--nodes N] [--fixed-ports] [--country CC]\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    tvl::cdn::CdnServerOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const bool hasValue = i + 1 < argc;
        if (argument == "--root" && hasValue) {
            options.contentRoot = argv[++i];
        } else if (argument == "--nodes" && hasValue) {
            const std::string value = argv[++i];
            if (value.empty() || value.size() > 2 ||
                value.find_first_not_of("0123456789") != std::string::npos || std::stoi(value) < 1) {
                std::cerr << "talvane-cdn: --nodes takes a number from 1 to 99\n";
                return 2;
            }
            options.nodeCount = static_cast<std::size_t>(std::stoi(value));
        } else if (argument == "--country" && hasValue) {
            options.countryCode = argv[++i];
        } else if (argument == "--fixed-ports") {
            options.manifestPort = 47800;
            options.geolocationPort = 47801;
            options.eventsPort = 47801;
            options.transfersPort = 47802;
            options.firstNodePort = 47810;
        } else {
            return Usage();
        }
    }
    if (options.contentRoot.empty()) {
        return Usage();
    }

    // Blocked before the server's thread starts, so only sigwait sees them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    try {
        tvl::cdn::CdnServer server(options);
        std::cout << "manifest " << server.ManifestHost() << "\n";
        for (std::size_t i = 0; i < server.NodeCount(); ++i) {
            std::cout << "node" << i << " " << server.Authority(tvl::cdn::CdnEndpoint::Node(i)) << "\n";
        }
        std::cout << "geolocation " << server.GeolocationUrl() << "\n"
                  << "events " << server.EventsUrl() << "\n"
                  << "transfers " << server.TransfersUrl() << "\n"
                  << "ready" << std::endl;
        int received = 0;
        sigwait(&signals, &received);
    } catch (const std::exception& failure) {
        std::cerr << failure.what() << "\n";
        return 1;
    }
    return 0;
}
