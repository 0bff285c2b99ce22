#pragma once

// Builds the work tree of one run of a transfer and the workflow that drives
// it, on the work manager and with the running-works limit of the transfer's
// behavior. The workflow comes back not started; the transfer registers its
// retryable-error callback and starts it. Factories hold no state: any thread.

#include <memory>

namespace tvl {

class TransferWorkInterface;
class Workflow;

class TransferWorkflowFactory {
  public:
    virtual ~TransferWorkflowFactory() = default;
    TransferWorkflowFactory(const TransferWorkflowFactory&) = delete;
    TransferWorkflowFactory& operator=(const TransferWorkflowFactory&) = delete;

    virtual std::shared_ptr<Workflow> CreateWorkflow(
        const std::shared_ptr<TransferWorkInterface>& transfer) = 0;

  protected:
    TransferWorkflowFactory() = default;
};

}  // namespace tvl
