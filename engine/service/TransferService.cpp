#include "engine/service/TransferService.h"

#include <thread>

#include "engine/service/Transfer.h"
#include "engine/service/TransferManager.h"
#include "engine/service/TransferParams.h"
#include "engine/service/TransferServiceImpl.h"
#include "engine/service/UnsetValue.h"

namespace tvl {

TransferService::TransferService(const TransferSettings& settings)
    : impl_(std::make_unique<TransferServiceImpl>(settings)) {}

TransferService::~TransferService() = default;

namespace {

template <typename Operation>
TransferStatus WithTransfer(TransferServiceImpl& impl, const std::string& transferId, Operation operation) {
    const std::shared_ptr<Transfer> transfer = impl.TransferManager().Get(transferId, impl.Behavior());
    return transfer ? operation(*transfer) : TransferStatus();
}

}  // namespace

TransferStatus TransferService::CreateTransfer(const std::string& partnerId, const std::string& packageId) {
    return CreateTransfer(partnerId, packageId, Unspecified());
}

TransferStatus TransferService::CreateTransfer(const std::string& partnerId, const std::string& packageId,
                                               const std::string& versionId) {
    TransferParams params;
    params.partnerId = partnerId;
    params.packageId = packageId;
    params.versionId = versionId;
    const std::shared_ptr<Transfer> transfer = impl_->TransferManager().Create(params, impl_->Behavior());
    return transfer ? transfer->Initialize() : TransferStatus();
}

bool TransferService::CanTransferTo(const std::string& transferId, const std::string& destPath) {
    const std::shared_ptr<Transfer> transfer = impl_->TransferManager().Get(transferId, impl_->Behavior());
    return transfer && transfer->CanTransferTo(destPath);
}

TransferStatus TransferService::StartTransfer(const std::string& transferId) {
    return StartTransfer(transferId, Unspecified());
}

TransferStatus TransferService::StartTransfer(const std::string& transferId, const std::string& destPath) {
    return WithTransfer(*impl_, transferId, [&](Transfer& t) { return t.Start(destPath); });
}

TransferStatus TransferService::GetTransferStatus(const std::string& transferId) {
    return WithTransfer(*impl_, transferId, [](Transfer& t) { return t.GetStatus(); });
}

TransferStatus TransferService::PauseTransfer(const std::string& transferId) {
    return WithTransfer(*impl_, transferId, [](Transfer& t) { return t.Pause(); });
}

TransferStatus TransferService::ResumeTransfer(const std::string& transferId) {
    return WithTransfer(*impl_, transferId, [](Transfer& t) { return t.Resume(); });
}

TransferStatus TransferService::RetryTransfer(const std::string& transferId) {
    return WithTransfer(*impl_, transferId, [](Transfer& t) { return t.Retry(); });
}

TransferStatus TransferService::SuspendTransfer(const std::string& transferId) {
    return WithTransfer(*impl_, transferId, [](Transfer& t) { return t.Suspend(); });
}

TransferStatus TransferService::RestoreTransfer(const std::string& transferId) {
    return WithTransfer(*impl_, transferId, [](Transfer& t) { return t.Restore(); });
}

TransferStatus TransferService::CancelTransfer(const std::string& transferId, bool deleteFiles) {
    return WithTransfer(*impl_, transferId, [&](Transfer& t) { return t.Cancel(deleteFiles); });
}

bool TransferService::WaitForReleasedWorks(const std::string& transferId, std::chrono::milliseconds timeout) {
    const std::shared_ptr<Transfer> transfer = impl_->TransferManager().Get(transferId, impl_->Behavior());
    if (!transfer) {
        return true;
    }
    std::weak_ptr<TransferWorkInterface> interface = transfer->GetWorkInterface();
    // The transfer's own reference, and none besides; polled, since works
    // and events let go of it on many threads without telling anyone.
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (interface.use_count() > 1) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

std::string TransferService::GetNodeStatisticsJson(const std::string& transferId) {
    const std::shared_ptr<Transfer> transfer = impl_->TransferManager().Get(transferId, impl_->Behavior());
    return transfer ? transfer->GetNodeStatisticsJson() : "[]";
}

}  // namespace tvl
