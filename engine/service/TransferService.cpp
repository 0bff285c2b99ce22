#include "engine/service/TransferService.h"

#include "engine/service/TransferServiceImpl.h"
#include "engine/service/Unspecified.h"

namespace tvl {

TransferService::TransferService(const TransferSettings& settings)
    : impl_(std::make_unique<TransferServiceImpl>(settings)) {}

TransferService::~TransferService() = default;

TransferStatus TransferService::CreateTransfer(const std::string& partnerId, const std::string& packageId) {
    return CreateTransfer(partnerId, packageId, Unspecified());
}

TransferStatus TransferService::CreateTransfer(const std::string&, const std::string&, const std::string&) {
    // No transfer manager is assembled yet, which the contract treats like a
    // manager that is shut down: nothing is created.
    return TransferStatus();
}

bool TransferService::CanTransferTo(const std::string&, const std::string&) { return false; }

TransferStatus TransferService::StartTransfer(const std::string& transferId) {
    return StartTransfer(transferId, Unspecified());
}

TransferStatus TransferService::StartTransfer(const std::string&, const std::string&) { return TransferStatus(); }
TransferStatus TransferService::GetTransferStatus(const std::string&) { return TransferStatus(); }
TransferStatus TransferService::PauseTransfer(const std::string&) { return TransferStatus(); }
TransferStatus TransferService::ResumeTransfer(const std::string&) { return TransferStatus(); }
TransferStatus TransferService::RetryTransfer(const std::string&) { return TransferStatus(); }
TransferStatus TransferService::SuspendTransfer(const std::string&) { return TransferStatus(); }
TransferStatus TransferService::RestoreTransfer(const std::string&) { return TransferStatus(); }
TransferStatus TransferService::CancelTransfer(const std::string&, bool) { return TransferStatus(); }

}  // namespace tvl
