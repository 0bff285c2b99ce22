#pragma once

// The two workflow factories of the transfer service: one builds the download
// tree of a package version, the other the verification tree of files already
// on disk. Both build the tree of one run on the behavior's work manager with
// its `maxRunningWorks` and return the workflow not started. Stateless: any
// thread.

#include <memory>

#include "engine/workflow/TransferWorkflowFactory.h"

namespace tvl {

class TransferPackageWorkflowFactory : public TransferWorkflowFactory {
  public:
    TransferPackageWorkflowFactory() = default;

    std::shared_ptr<Workflow> CreateWorkflow(const std::shared_ptr<TransferWorkInterface>& transfer) override;
};

class VerifyTransferWorkflowFactory : public TransferWorkflowFactory {
  public:
    VerifyTransferWorkflowFactory() = default;

    std::shared_ptr<Workflow> CreateWorkflow(const std::shared_ptr<TransferWorkInterface>& transfer) override;
};

}  // namespace tvl
