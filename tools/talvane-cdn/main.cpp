// talvane-cdn: the content provider's servers on loopback for tests and the demo.
//
// Prints one "name address" line per endpoint and then "ready", and serves until
// SIGINT or SIGTERM. With --fixed-ports the demo deployment's ports are used:
// manifest host 47800, geolocation 47801, analytics events 47803 and transfers
// 47804 (unless --no-analytics leaves them to a collector), download nodes from
// 47810 on; otherwise every port is ephemeral.

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
        "talvane-cdn", {"--root DIR [--nodes N] [--fixed-ports [--no-analytics]] [--country CC]"},
        "Serves a content root as the content provider's servers on loopback: the manifest host, download\n"
        "nodes, geolocation and analytics. Prints one \"name address\" line per endpoint, then \"ready\",\n"
        "and serves until SIGINT or SIGTERM.");
    commandLine.Add()                                                                                  //
        ("root", po::value<std::string>()->value_name("DIR"), "the content root to serve (required)")  //
        ("nodes", po::value<std::string>()->value_name("N"), "download nodes, 1 to 99 (default 2)")    //
        ("fixed-ports", po::bool_switch(),
         "the demo deployment's ports: manifest host 47800, geolocation 47801, analytics events 47803 "
         "and transfers 47804, nodes from 47810; otherwise every port is ephemeral")  //
        ("no-analytics", po::bool_switch(),
         "with --fixed-ports, leave the analytics ports to a collector (talvane-analytics serve): "
         "the server's own analytics endpoints take ephemeral ports")  //
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
                                   if (!values["no-analytics"].as<bool>()) {
                                       options.eventsPort = 47803;
                                       options.transfersPort = 47804;
                                   }
                                   options.firstNodePort = 47810;
                               }
                               return Serve(options);
                           });
}
