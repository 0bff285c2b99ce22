#pragma once

// Makes the transfer object for a set of parameters: a plain transfer, or one
// kept in the manifest store. Factories hold only non-owned pointers to
// objects that outlive them; Create may be called from any thread.

#include <memory>

#include "engine/service/ManifestStore.h"
#include "engine/service/TransferManifest.h"

namespace tvl {

class Transfer;
class TransferBehavior;
class TransferParams;
class TransferWorkflowFactory;

class TransferFactory {
  public:
    virtual ~TransferFactory() = default;
    TransferFactory(const TransferFactory&) = delete;
    TransferFactory& operator=(const TransferFactory&) = delete;

    virtual std::shared_ptr<Transfer> Create(const TransferParams& params,
                                             const TransferBehavior& behavior) = 0;

  protected:
    TransferFactory() = default;
};

class StandardTransferFactory : public TransferFactory {
  public:
    explicit StandardTransferFactory(TransferWorkflowFactory* workflowFactory)
        : workflowFactory_(workflowFactory) {}

    std::shared_ptr<Transfer> Create(const TransferParams& params, const TransferBehavior& behavior) override;

  private:
    TransferWorkflowFactory* const workflowFactory_;
};

class StoredTransferFactory : public TransferFactory {
  public:
    StoredTransferFactory(ManifestStore<TransferManifest>* store, TransferWorkflowFactory* workflowFactory)
        : store_(store), workflowFactory_(workflowFactory) {}

    std::shared_ptr<Transfer> Create(const TransferParams& params, const TransferBehavior& behavior) override;

  private:
    ManifestStore<TransferManifest>* const store_;
    TransferWorkflowFactory* const workflowFactory_;
};

}  // namespace tvl
