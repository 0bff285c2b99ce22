// talvane-updater: fetches the product's downloader and skin packages and
// starts the downloader.

#include <iostream>

#include "app/TalvaneUpdaterMessages.h"
#include "app/UpdaterContext.h"
#include "engine/service/TransferService.h"
#include "resources/Deployment.h"

int main() {
    // The command line is re-read from the process by the context.
    const tvl::UpdaterContext context(&tvl::CompiledDeployment(), "Brennic Technologies/Talvane Delivery");

    // The run sequence (dialog, transfers, launch) is not assembled yet; until
    // it is, the updater shows the configuration it would run with.
    tvl::TalvaneUpdaterMessages messages;
    tvl::TransferService service(context.MakeServiceSettings());
    std::cout << "talvane-updater\n"
              << "  data folder:     " << context.dataRoot << "\n"
              << "  product:         " << context.productName << "\n"
              << "  product version: " << context.ProductVersion() << "\n"
              << "  skin version:    " << context.skinVersion << "\n"
              << "  log level:       " << context.logLevel << "\n"
              << "  downloader args:"
              << context.BuildDownloaderCommandLine(context.languages.empty() ? "" : context.initialLanguage,
                                                    "skin.dat")
              << "\n";
    return 0;
}
