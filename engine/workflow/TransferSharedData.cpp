#include <boost/property_tree/ptree.hpp>
#include <cstdio>

#include "engine/file/MemoryMappedFileData.h"
#include "engine/service/TransferProgressUpdater.h"
#include "engine/workflow/TransferSharedFileData.h"
#include "engine/workflow/TransferSharedMapData.h"

namespace tvl {

std::string LowercaseHex(std::uint32_t value) {
    char text[9];
    std::snprintf(text, sizeof(text), "%x", static_cast<unsigned>(value));
    return text;
}

void TransferSharedFileData::Describe(boost::property_tree::ptree& tree) const {
    tree.put("filePath", path);
    tree.put("fileSize", size);
}

TransferSharedMapData::TransferSharedMapData(std::shared_ptr<TransferSharedFileData> fileData,
                                             std::uint64_t lower, std::uint64_t upper, std::uint32_t checksum,
                                             std::shared_ptr<TransferProgressUpdater> updater)
    : sharedFileData(std::move(fileData)),
      lowerBound(lower),
      upperBound(upper),
      expectedChecksum(checksum),
      progressUpdater(std::move(updater)) {}

void TransferSharedMapData::Describe(boost::property_tree::ptree& tree) const {
    if (sharedFileData) {
        sharedFileData->Describe(tree);
    }
    tree.put("lowerBound", lowerBound);
    tree.put("upperBound", upperBound);
    tree.put("expectedChecksum", LowercaseHex(expectedChecksum));
    tree.put("fileProgressBytes", fileProgressBytes.load());
}

void TransferSharedMapData::ResetProgress() {
    if (map) {
        map->Seek(lowerBound);
    }
    const std::uint64_t counted = fileProgressBytes.exchange(0);
    if (counted != 0 && progressUpdater) {
        progressUpdater->SubtractDone(counted);
    }
}

void ChecksumStatusData::Describe(boost::property_tree::ptree& tree) const {
    tree.put("actualChecksum", LowercaseHex(actualChecksum_));
    if (forged_) {
        tree.put("strongDigestMismatch", true);
    }
}

ChecksumStatusData::ChecksumStatusData(std::shared_ptr<TransferSharedMapData> mapData,
                                       std::uint32_t actualChecksum, bool forged)
    : mapData_(std::move(mapData)), actualChecksum_(actualChecksum), forged_(forged) {
    const TransferSharedMapData& chunk = *mapData_;
    const HttpRequestStatus& last = chunk.lastRequestStatus;
    const std::uint64_t fileSize = chunk.sharedFileData ? chunk.sharedFileData->size : 0;
    // Before any request the last position is still 0, below a later chunk's start.
    const std::uint64_t received =
        chunk.lastPosition > chunk.lowerBound ? chunk.lastPosition - chunk.lowerBound : 0;
    summary_ = "error|" + std::to_string(static_cast<unsigned>(ToTransferError())) + "|" + std::to_string(fileSize) + "|" + std::to_string(chunk.lowerBound) + "|" +
               std::to_string(received) + "|" + std::to_string(last.bytesWritten) + "|" +
               std::to_string(last.responseCode) + "|" + std::to_string(chunk.failedNodeCount) + "|" +
               last.ip + "|" + LowercaseHex(chunk.expectedChecksum) + "|" + LowercaseHex(actualChecksum_);
}

std::string ChecksumStatusData::GetSummary() const {
    return summary_;
}

}  // namespace tvl
