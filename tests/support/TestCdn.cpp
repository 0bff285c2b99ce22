#include "tests/support/TestCdn.h"

namespace tvl::test {

TransferSettings CdnTransferSettings(const cdn::CdnServer& server) {
    TransferSettings settings;
    settings.manifestHost = server.ManifestHost();
    settings.geolocationUrl = server.GeolocationUrl();
    settings.analyticsEventsUrl = server.EventsUrl();
    settings.analyticsTransfersUrl = server.TransfersUrl();
    settings.logLevel = -1;
    return settings;
}

std::vector<std::string> CdnGetArguments(const cdn::CdnServer& server, const std::vector<std::string>& more) {
    std::vector<std::string> arguments = {"--manifest-host", server.ManifestHost(), "--geolocation-url",
                                          server.GeolocationUrl(), "--events-url", server.EventsUrl(),
                                          "--transfers-url", server.TransfersUrl()};
    arguments.insert(arguments.end(), more.begin(), more.end());
    return arguments;
}

std::vector<std::string> CdnNodeAuthorities(const cdn::CdnServer& server) {
    std::vector<std::string> nodes;
    for (std::size_t i = 0; i < server.NodeCount(); ++i) {
        nodes.push_back(server.Authority(cdn::CdnEndpoint::Node(i)));
    }
    return nodes;
}

pack::PackageOptions CurrentPackageOptions(const std::string& input, const std::string& output,
                                           const std::string& version) {
    pack::PackageOptions options;
    options.input = input;
    options.output = output;
    options.partnerId = "partner";
    options.packageId = "pkg";
    options.versionId = version;
    options.chunkSize = 64 * 1024;
    options.current = true;
    return options;
}

}  // namespace tvl::test
