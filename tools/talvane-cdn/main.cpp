// talvane-cdn: the content provider's servers on loopback for tests and the demo.
//
// Prints one "name address" line per endpoint and then "ready", and serves until
// SIGINT or SIGTERM. With --fixed-ports the demo deployment's ports are used:
// manifest host 47800, geolocation and analytics events 47801, analytics
// transfers 47802, download nodes from 47810 on; otherwise every port is ephemeral.

#include <signal.h>

#include <boost/program_options/value_semantic.hpp>
#include <iostream>
#include <string>

#include "tools/common/CommandLine.h"
#include "tools/talvane-cdn/CdnServer.h"

namespace po = boost::program_options;

namespace {

int Serve(const tvl::cdn::CdnServerOptions& options) {
    // Blocked before the server's thread starts, so only sigwait sees them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

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
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    tvl::cli::CommandLine commandLine(
        "talvane-cdn", {"--root DIR [--nodes N] [--fixed-ports] [--country CC]"},
        "Serves a content root as the content provider's servers on loopback: the manifest host, download\n"
        "nodes, geolocation and analytics. Prints one \"name address\" line per endpoint, then \"ready\",\n"
        "and serves until SIGINT or SIGTERM.");
    commandLine.Add()                                                                                  //
        ("root", po::value<std::string>()->value_name("DIR"), "the content root to serve (required)")  //
        ("nodes", po::value<std::string>()->value_name("N"), "download nodes, 1 to 99 (default 2)")    //
        ("fixed-ports", po::bool_switch(),
         "the demo deployment's ports: manifest host 47800, geolocation and events 47801, transfers "
         "47802, nodes from 47810; otherwise every port is ephemeral")  //
        ("country", po::value<std::string>()->value_name("CC"),
         "the country code the geolocation service answers (default US)");
    return commandLine.Run(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr,
                           [](const po::variables_map& values) {
                               tvl::cdn::CdnServerOptions options;
                               options.contentRoot = tvl::cli::Text(values, "root");
                               if (options.contentRoot.empty()) {
                                   throw tvl::cli::UsageError("--root is required");
                               }
                               tvl::cli::SetNumber(values, "nodes", 1, 99, options.nodeCount);
                               if (values.count("country") != 0) {
                                   options.countryCode = tvl::cli::Text(values, "country");
                               }
                               if (values["fixed-ports"].as<bool>()) {
                                   options.manifestPort = 47800;
                                   options.geolocationPort = 47801;
                                   options.eventsPort = 47801;
                                   options.transfersPort = 47802;
                                   options.firstNodePort = 47810;
                               }
                               return Serve(options);
                           });
}
