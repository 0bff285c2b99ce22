// talvane-updater: fetches the product's downloader and skin packages, starts
// the downloader and stays until it ends.

#include "app/TalvaneUpdater.h"
#include "app/UpdaterContext.h"
#include "resources/Deployment.h"

int main() {
    tvl::TalvaneUpdater updater;
    // The command line is re-read from the process by the context.
    const tvl::UpdaterContext context(&tvl::CompiledDeployment(), "Brennic Technologies/Talvane Delivery");
    return updater.Run(context);
}
