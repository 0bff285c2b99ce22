#pragma once

// One chunk of a file while its works run: its byte range and expected CRC-32,
// its mapped view, and what the last request did. Shared by the chunk's works
// and writers, which touch it one at a time.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

#include "engine/http/HttpRequestStatus.h"
#include "engine/security/Sha256.h"
#include "engine/work/WorkDescriptor.h"
#include "engine/workflow/TransferStatusData.h"

namespace tvl {

class MemoryMappedFileData;
class TransferProgressUpdater;
class TransferSharedFileData;

class TransferSharedMapData : public WorkDescriptor {
  public:
    TransferSharedMapData(std::shared_ptr<TransferSharedFileData> sharedFileData, std::uint64_t lowerBound,
                          std::uint64_t upperBound, std::uint32_t expectedChecksum,
                          std::shared_ptr<TransferProgressUpdater> progressUpdater);
    TransferSharedMapData(const TransferSharedMapData&) = delete;
    TransferSharedMapData& operator=(const TransferSharedMapData&) = delete;

    // The file's keys, then "lowerBound", "upperBound", "expectedChecksum"
    // (lowercase hexadecimal) and "fileProgressBytes".
    void Describe(boost::property_tree::ptree& tree) const override;

    // Moves the view back to the chunk's start and takes the chunk's counted
    // bytes back out of the transfer's done bytes.
    void ResetProgress();

    const std::shared_ptr<TransferSharedFileData> sharedFileData;
    const std::uint64_t lowerBound;
    const std::uint64_t upperBound;
    const std::uint32_t expectedChecksum;
    // The chunk's SHA-256 when a publisher's signature covers the package:
    // then a matching CRC-32 alone does not pass the chunk. Set before the
    // chunk's works run.
    std::optional<Sha256Digest> expectedDigest;
    std::shared_ptr<MemoryMappedFileData> map;  // empty when not mapped
    const std::shared_ptr<TransferProgressUpdater> progressUpdater;
    // Atomic because the work log describes the chunk from its own threads
    // while the chunk's works move it.
    std::atomic<std::uint64_t> fileProgressBytes{0};
    std::uint32_t failedNodeMask = 0;   // one bit per node index mod 32 whose data failed
    std::uint32_t failedNodeCount = 0;  // distinct bits set in failedNodeMask
    std::uint32_t lastNodeIndex = 0;    // node list index of the last request's node
    HttpRequestStatus lastRequestStatus;
    std::uint64_t lastPosition = 0;  // the view's position after the last request
    // The workflow's retry count when the last request started: bytes that
    // arrived for a run the tree has since been retried out of are not the
    // retried run's own (see RetryableTransferChunkWork::CanRetry).
    std::uint64_t lastRequestRetryCount = 0;
    // The chunk still holds the zeros its file was allocated with; cleared at
    // its first check, before anything can write to it.
    bool zeroFilled = false;
};

// A chunk whose bytes do not carry the manifest's CRC-32. The summary is taken
// when the data is made: the chunk's next attempt changes the chunk while
// logs and events still read this status on other threads.
class ChecksumStatusData : public TransferStatusData {
  public:
    // `forged`: the CRC-32 matched while the strong digest did not, which no
    // damage in transit does by chance.
    ChecksumStatusData(std::shared_ptr<TransferSharedMapData> mapData, std::uint32_t actualChecksum,
                       bool forged = false);

    TransferError ToTransferError() const override {
        return forged_ ? TransferError::AuthenticityError : TransferError::VerificationError;
    }
    void Describe(boost::property_tree::ptree& tree) const override;
    std::string GetSummary() const override;

    std::uint32_t GetActualChecksum() const { return actualChecksum_; }

  private:
    std::shared_ptr<TransferSharedMapData> mapData_;
    std::uint32_t actualChecksum_;
    bool forged_;
    std::string summary_;
};

std::string LowercaseHex(std::uint32_t value);

}  // namespace tvl
