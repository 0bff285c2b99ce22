#pragma once

// The transfer engine behind the contract. Owns every engine component through
// its TransferServiceImpl; destroying the service suspends unfinished transfers
// so that they stay restorable. All operations may be called from any thread.

#include <chrono>
#include <memory>

#include "engine/service/TransferContract.h"
#include "engine/service/TransferSettings.h"

namespace tvl {

class TransferServiceImpl;

class TransferService : public TransferContract {
public:
    explicit TransferService(const TransferSettings& settings);
    ~TransferService() override;

    TransferStatus CreateTransfer(const std::string& partnerId, const std::string& packageId) override;
    TransferStatus CreateTransfer(const std::string& partnerId, const std::string& packageId,
                                  const std::string& versionId) override;
    bool CanTransferTo(const std::string& transferId, const std::string& destPath) override;
    TransferStatus StartTransfer(const std::string& transferId) override;
    TransferStatus StartTransfer(const std::string& transferId, const std::string& destPath) override;
    TransferStatus GetTransferStatus(const std::string& transferId) override;
    TransferStatus PauseTransfer(const std::string& transferId) override;
    TransferStatus ResumeTransfer(const std::string& transferId) override;
    TransferStatus RetryTransfer(const std::string& transferId) override;
    TransferStatus SuspendTransfer(const std::string& transferId) override;
    TransferStatus RestoreTransfer(const std::string& transferId) override;
    TransferStatus CancelTransfer(const std::string& transferId, bool deleteFiles) override;

    // Beyond the contract, for tools that report on a transfer: the nodes of
    // its node list with the figures the optimizer keeps for each host, as a
    // JSON array text; "[]" for an unknown id or before the node list is read.
    std::string GetNodeStatisticsJson(const std::string& transferId);

    // Beyond the contract: waits, at most `timeout`, until nothing but the
    // transfer itself holds its work interface any more: its work tree is
    // torn down and no event or completion in flight refers to it. A tree
    // goes away after the transfer's state has changed (on the housekeeping
    // thread, and its last works on the threads that ran them), and a file
    // work registers its file with its transfer as it goes; a tool that
    // cancels a transfer it has just seen complete, with its files, waits for
    // this first so that every file is registered and deleted. True when the
    // interface was released in time.
    bool WaitForReleasedWorks(const std::string& transferId, std::chrono::milliseconds timeout);

private:
    std::unique_ptr<TransferServiceImpl> impl_;
};

}  // namespace tvl
