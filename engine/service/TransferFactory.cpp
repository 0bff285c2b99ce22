#include "engine/service/TransferFactory.h"

#include "engine/service/StandardTransfer.h"
#include "engine/service/StoredTransfer.h"

namespace tvl {

std::shared_ptr<Transfer> StandardTransferFactory::Create(const TransferParams& params,
                                                          const TransferBehavior& behavior) {
    return StandardTransfer::Create<StandardTransfer>(params, behavior, workflowFactory_);
}

std::shared_ptr<Transfer> StoredTransferFactory::Create(const TransferParams& params,
                                                        const TransferBehavior& behavior) {
    return StandardTransfer::Create<StoredTransfer>(params, behavior, workflowFactory_, store_);
}

}  // namespace tvl
