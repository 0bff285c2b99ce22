#pragma once

// The top of a transfer's two work trees. A download is
//   TransferPackageWork [ InitializeTransferWork [ GetManifestsWork [ package, node list ],
//                         geolocation, geofence, construct ], DeferredWork [ files ], AllowExecuteWork ]
// and a verification the same without the allow-execute work and with the
// verifying file tree. The construct work builds the file-level tree once the
// package is known and hands it to the deferred work.
//
// Each Create builds the work's whole subtree; the root reports to the
// transfer's OnWorkComplete, the initialization to OnInitialize. Threading as
// for every composite and simple work.

#include <memory>

#include "engine/work/ParallelWork.h"
#include "engine/work/SequentialWork.h"
#include "engine/work/SimpleWork.h"
#include "engine/workflow/TransferWork.h"

namespace tvl {

class DeferredWork;

class TransferPackageWork : public TransferWork, public SequentialWork {
    struct Token {};

  public:
    static std::shared_ptr<TransferPackageWork> Create(std::shared_ptr<TransferWorkInterface> interface);
    TransferPackageWork(Token, std::shared_ptr<TransferWorkInterface> interface);

    void Describe(boost::property_tree::ptree& tree) const override;
    bool IsImportant() const override { return true; }
};

class VerifyTransferWork : public TransferWork, public SequentialWork {
    struct Token {};

  public:
    static std::shared_ptr<VerifyTransferWork> Create(std::shared_ptr<TransferWorkInterface> interface);
    VerifyTransferWork(Token, std::shared_ptr<TransferWorkInterface> interface);

    void Describe(boost::property_tree::ptree& tree) const override;
    bool IsImportant() const override { return true; }
};

class InitializeTransferWork : public TransferWork, public SequentialWork {
    struct Token {};

  public:
    static std::shared_ptr<InitializeTransferWork> Create(std::shared_ptr<TransferWorkInterface> interface,
                                                          std::shared_ptr<DeferredWork> deferred);
    InitializeTransferWork(Token, std::shared_ptr<TransferWorkInterface> interface);

    void Describe(boost::property_tree::ptree& tree) const override;
};

class InitializeVerifyWork : public TransferWork, public SequentialWork {
    struct Token {};

  public:
    static std::shared_ptr<InitializeVerifyWork> Create(std::shared_ptr<TransferWorkInterface> interface,
                                                        std::shared_ptr<DeferredWork> deferred);
    InitializeVerifyWork(Token, std::shared_ptr<TransferWorkInterface> interface);

    void Describe(boost::property_tree::ptree& tree) const override;
};

// The package manifest and the node list, fetched at the same time.
class GetManifestsWork : public TransferWork, public ParallelWork {
    struct Token {};

  public:
    static std::shared_ptr<GetManifestsWork> Create(std::shared_ptr<TransferWorkInterface> interface);
    GetManifestsWork(Token, std::shared_ptr<TransferWorkInterface> interface);

    void Describe(boost::property_tree::ptree& tree) const override;
};

// Builds the download's file-level tree from the acquired package and gives
// it to the deferred work. Cannot be interrupted.
class ConstructTransferFromPackageWork : public TransferWork, public SimpleWork {
    struct Token {};

  public:
    static std::shared_ptr<ConstructTransferFromPackageWork> Create(
        std::shared_ptr<TransferWorkInterface> interface, std::shared_ptr<DeferredWork> deferred);
    ConstructTransferFromPackageWork(Token, std::shared_ptr<TransferWorkInterface> interface,
                                     std::shared_ptr<DeferredWork> deferred);

    void Describe(boost::property_tree::ptree& tree) const override;
    void Abort() override {}

  protected:
    WorkStatus ExecuteTask() override;

  private:
    const std::shared_ptr<DeferredWork> deferred_;
};

// The same for a verification's file-level tree.
class ConstructVerifyFromPackageWork : public TransferWork, public SimpleWork {
    struct Token {};

  public:
    static std::shared_ptr<ConstructVerifyFromPackageWork> Create(
        std::shared_ptr<TransferWorkInterface> interface, std::shared_ptr<DeferredWork> deferred);
    ConstructVerifyFromPackageWork(Token, std::shared_ptr<TransferWorkInterface> interface,
                                   std::shared_ptr<DeferredWork> deferred);

    void Describe(boost::property_tree::ptree& tree) const override;
    void Abort() override {}

  protected:
    WorkStatus ExecuteTask() override;

  private:
    const std::shared_ptr<DeferredWork> deferred_;
};

}  // namespace tvl
