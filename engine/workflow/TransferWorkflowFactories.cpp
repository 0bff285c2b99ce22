#include "engine/workflow/TransferWorkflowFactories.h"

#include <algorithm>
#include <stdexcept>

#include "engine/service/TransferBehavior.h"
#include "engine/service/TransferWorkInterface.h"
#include "engine/work/StandardWorkflow.h"
#include "engine/workflow/PackageWorks.h"

namespace tvl {
namespace {

template <typename Root>
std::shared_ptr<Workflow> BuildWorkflow(const std::shared_ptr<TransferWorkInterface>& transfer,
                                        const char* who) {
    if (!transfer) {
        throw std::invalid_argument(std::string(who) + "::CreateWorkflow called without a transfer");
    }
    const TransferBehavior& behavior = transfer->GetBehavior();
    const std::uint32_t maxRunning = std::max(behavior.settings.maxRunningWorks, 1u);
    if (behavior.requestWorkManager != nullptr && behavior.settings.requestSlots > 0) {
        return StandardWorkflow::Create(Root::Create(transfer), behavior.workManager, maxRunning,
                                        behavior.requestWorkManager, behavior.settings.requestSlots);
    }
    return StandardWorkflow::Create(Root::Create(transfer), behavior.workManager, maxRunning);
}

}  // namespace

std::shared_ptr<Workflow> TransferPackageWorkflowFactory::CreateWorkflow(
    const std::shared_ptr<TransferWorkInterface>& transfer) {
    return BuildWorkflow<TransferPackageWork>(transfer, "TransferPackageWorkflowFactory");
}

std::shared_ptr<Workflow> VerifyTransferWorkflowFactory::CreateWorkflow(
    const std::shared_ptr<TransferWorkInterface>& transfer) {
    return BuildWorkflow<VerifyTransferWork>(transfer, "VerifyTransferWorkflowFactory");
}

}  // namespace tvl
