#pragma once

// The transfer engine's only entry point: twelve operations addressed by
// transfer id. An id that names no transfer gets the unknown-transfer status
// (or false); an operation the transfer's state does not allow changes nothing
// and returns the current status. Implementations may be called from several
// threads at once.

#include <string>

#include "engine/service/TransferStatus.h"

namespace tvl {

class TransferContract {
public:
    virtual ~TransferContract() = default;

    virtual TransferStatus CreateTransfer(const std::string& partnerId, const std::string& packageId) = 0;
    virtual TransferStatus CreateTransfer(const std::string& partnerId, const std::string& packageId,
                                          const std::string& versionId) = 0;
    virtual bool CanTransferTo(const std::string& transferId, const std::string& destPath) = 0;
    virtual TransferStatus StartTransfer(const std::string& transferId) = 0;
    virtual TransferStatus StartTransfer(const std::string& transferId, const std::string& destPath) = 0;
    virtual TransferStatus GetTransferStatus(const std::string& transferId) = 0;
    virtual TransferStatus PauseTransfer(const std::string& transferId) = 0;
    virtual TransferStatus ResumeTransfer(const std::string& transferId) = 0;
    virtual TransferStatus RetryTransfer(const std::string& transferId) = 0;
    virtual TransferStatus SuspendTransfer(const std::string& transferId) = 0;
    virtual TransferStatus RestoreTransfer(const std::string& transferId) = 0;
    virtual TransferStatus CancelTransfer(const std::string& transferId, bool deleteFiles) = 0;

protected:
    TransferContract() = default;
    TransferContract(const TransferContract&) = delete;
    TransferContract& operator=(const TransferContract&) = delete;
};

}  // namespace tvl
