#pragma once

// A transfer that keeps its parameters in the manifest store: written when
// the transfer starts, so the stored file always names a destination, and
// removed when it is canceled. Threading as StandardTransfer; store
// operations run without the transfer's mutex.

#include "engine/service/ManifestStore.h"
#include "engine/service/StandardTransfer.h"
#include "engine/service/TransferManifest.h"

namespace tvl {

class StoredTransfer : public StandardTransfer {
  public:
    // The store is not owned and must outlive the transfer.
    StoredTransfer(const TransferParams& params, const TransferBehavior& behavior,
                   TransferWorkflowFactory* workflowFactory, ManifestStore<TransferManifest>* store,
                   MillisecondClock clock = MonotonicMilliseconds);

    TransferStatus Start(const std::string& destination) override;
    TransferStatus Cancel(bool deleteFiles) override;

  private:
    ManifestStore<TransferManifest>* const store_;
};

}  // namespace tvl
