#pragma once

// A transfer contract whose transfers do only what the test says: creating a
// transfer gives the id the test assigned to its package, statuses change when
// the test sets them, and every call is recorded. Safe from any thread.

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "engine/service/TransferContract.h"
#include "engine/service/TransferState.h"

namespace tvl::test {

class FakeTransferContract : public TransferContract {
  public:
    struct Creation {
        std::string partnerId;
        std::string packageId;
        std::string versionId;
        int arguments;  // 2 or 3
    };

    // Creating a transfer of this package gives this id; other packages get
    // the unknown-transfer status.
    void AssignId(const std::string& packageId, const std::string& transferId) {
        std::lock_guard<std::mutex> lock(mutex_);
        ids_[packageId] = transferId;
    }
    void Update(const std::string& transferId, const std::function<void(TransferStatus&)>& change) {
        std::lock_guard<std::mutex> lock(mutex_);
        change(statuses_[transferId]);
    }

    std::vector<Creation> Creations() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return creations_;
    }
    std::vector<std::pair<std::string, std::string>> Starts() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return starts_;
    }
    int Polls(const std::string& transferId) const {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = polls_.find(transferId);
        return found == polls_.end() ? 0 : found->second;
    }
    // Calls of every operation other than create, start and status.
    std::vector<std::string> OtherCalls() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return others_;
    }

    TransferStatus CreateTransfer(const std::string& partnerId, const std::string& packageId) override {
        return Create(partnerId, packageId, "?", 2);
    }
    TransferStatus CreateTransfer(const std::string& partnerId, const std::string& packageId,
                                  const std::string& versionId) override {
        return Create(partnerId, packageId, versionId, 3);
    }
    bool CanTransferTo(const std::string& transferId, const std::string&) override {
        Other("CanTransferTo " + transferId);
        return false;
    }
    TransferStatus StartTransfer(const std::string& transferId) override {
        return Other("StartTransfer " + transferId);
    }
    TransferStatus StartTransfer(const std::string& transferId, const std::string& destPath) override {
        std::lock_guard<std::mutex> lock(mutex_);
        starts_.emplace_back(transferId, destPath);
        const auto found = statuses_.find(transferId);
        if (found == statuses_.end()) {
            return TransferStatus();
        }
        if (found->second.state == static_cast<std::uint8_t>(TransferState::Initialized)) {
            found->second.state = static_cast<std::uint8_t>(TransferState::Transferring);
            found->second.destPath = destPath;
        }
        return found->second;
    }
    TransferStatus GetTransferStatus(const std::string& transferId) override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++polls_[transferId];
        const auto found = statuses_.find(transferId);
        return found == statuses_.end() ? TransferStatus() : found->second;
    }
    TransferStatus PauseTransfer(const std::string& id) override { return Other("PauseTransfer " + id); }
    TransferStatus ResumeTransfer(const std::string& id) override { return Other("ResumeTransfer " + id); }
    TransferStatus RetryTransfer(const std::string& id) override { return Other("RetryTransfer " + id); }
    TransferStatus SuspendTransfer(const std::string& id) override { return Other("SuspendTransfer " + id); }
    TransferStatus RestoreTransfer(const std::string& id) override { return Other("RestoreTransfer " + id); }
    TransferStatus CancelTransfer(const std::string& id, bool) override {
        return Other("CancelTransfer " + id);
    }

  private:
    TransferStatus Create(const std::string& partnerId, const std::string& packageId,
                          const std::string& versionId, int arguments) {
        std::lock_guard<std::mutex> lock(mutex_);
        creations_.push_back({partnerId, packageId, versionId, arguments});
        const auto id = ids_.find(packageId);
        if (id == ids_.end()) {
            return TransferStatus();
        }
        TransferStatus status;
        status.transferId = id->second;
        status.partnerId = partnerId;
        status.packageId = packageId;
        status.versionId = versionId;
        status.state = static_cast<std::uint8_t>(TransferState::Initializing);
        status.error = 0;
        statuses_[id->second] = status;
        return status;
    }
    TransferStatus Other(const std::string& call) {
        std::lock_guard<std::mutex> lock(mutex_);
        others_.push_back(call);
        return TransferStatus();
    }

    mutable std::mutex mutex_;
    std::map<std::string, std::string> ids_;
    std::map<std::string, TransferStatus> statuses_;
    std::vector<Creation> creations_;
    std::vector<std::pair<std::string, std::string>> starts_;
    std::map<std::string, int> polls_;
    std::vector<std::string> others_;
};

}  // namespace tvl::test
