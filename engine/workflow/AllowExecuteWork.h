#pragma once

// The last step of a download: once every file is complete, lets the
// package's program files be executed again (they were denied execution when
// they were allocated). Program files are those the shared file factory calls
// executable, and the package's run file whatever its name. A file locked by
// someone else pauses the transfer with a retryable error; a retry starts
// again from the first file.
//
// Threading as for every simple work; it cannot be interrupted.

#include <memory>

#include "engine/work/SimpleWork.h"
#include "engine/workflow/TransferWork.h"

namespace tvl {

class AllowExecuteWork : public TransferWork, public SimpleWork {
    struct Token {};

  public:
    static std::shared_ptr<AllowExecuteWork> Create(std::shared_ptr<TransferWorkInterface> interface);
    AllowExecuteWork(Token, std::shared_ptr<TransferWorkInterface> interface);

    void Describe(boost::property_tree::ptree& tree) const override;
    bool IsImportant() const override { return true; }
    void Abort() override {}

  protected:
    WorkStatus ExecuteTask() override;
};

}  // namespace tvl
