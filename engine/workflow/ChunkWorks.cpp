#include "engine/workflow/ChunkWorks.h"

#include <algorithm>
#include <boost/property_tree/ptree.hpp>
#include <stdexcept>

#include "engine/file/MemoryMappedFileData.h"
#include "engine/file/SharedFile.h"
#include "engine/manifest/Crc32.h"
#include "engine/manifest/NodeManifest.h"
#include "engine/manifest/PackageManifest.h"
#include "engine/manifest/StandardFileManifest.h"
#include "engine/service/ChunkMemoryBudget.h"
#include "engine/service/TransferBehavior.h"
#include "engine/service/TransferProgressUpdater.h"
#include "engine/service/TransferWorkInterface.h"
#include "engine/work/NoOpWork.h"
#include "engine/work/Workflow.h"
#include "engine/workflow/OptimizedRequestChunkWork.h"
#include "engine/workflow/TransferSharedFileData.h"
#include "engine/workflow/TransferSharedMapData.h"

namespace tvl {
namespace {

std::uint32_t AtLeastEveryNode(std::int32_t setting, const std::shared_ptr<NodeListManifest>& nodeList) {
    const std::size_t nodes = nodeList ? nodeList->GetNodes().size() : 0;
    const std::uint32_t others = nodes > 1 ? static_cast<std::uint32_t>(nodes - 1) : 0;
    return std::max(static_cast<std::uint32_t>(std::max(setting, 0)), others);
}

std::uint32_t Capacity(const TransferBehavior& behavior) {
    return std::max(behavior.settings.parallelWorks, 1u);
}

// With request slots a file keeps enough chunks under way to fill them; the
// transfer's budget, not this count, then bounds the memory.
std::uint32_t TransferCapacity(const TransferBehavior& behavior) {
    const std::uint64_t capacity =
        std::uint64_t{Capacity(behavior)} + behavior.settings.requestSlots;
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(capacity, 4096));
}

}  // namespace

// LazyParallelChunksWork

namespace {

bool DigestsRequired(TransferWorkInterface& interface) {
    const std::shared_ptr<PackageManifest> package = interface.GetPackage();
    return package && package->DigestsRequired();
}

}  // namespace

LazyParallelChunksWork::LazyParallelChunksWork(std::shared_ptr<TransferWorkInterface> interface,
                                               std::shared_ptr<StandardFileManifest> file,
                                               std::shared_ptr<TransferSharedFileData> fileData,
                                               const char* name, std::uint32_t capacity,
                                               std::shared_ptr<ChunkMemoryBudget> budget)
    : TransferWork(std::move(interface)),
      LazyParallelWork(LogCompleteCallback(interface_->GetBehavior()), capacity),
      file_(std::move(file)),
      fileData_(std::move(fileData)),
      name_(name),
      count_(file_->GetChunkCount()),
      budget_(std::move(budget)),
      digestsRequired_(DigestsRequired(*interface_)) {}

LazyParallelChunksWork::~LazyParallelChunksWork() {
    GiveBackAll();
}

void LazyParallelChunksWork::GiveBackAll() {
    if (budget_) {
        for (const auto& entry : held_) {
            budget_->Give(entry.second);
        }
    }
    held_.clear();
}

CompositeResult LazyParallelChunksWork::OnChildComplete(const std::shared_ptr<const Work>& child,
                                                        const WorkStatus& status) {
    const auto found = held_.find(child.get());
    if (found != held_.end()) {
        budget_->Give(found->second);
        held_.erase(found);
    }
    return LazyParallelWork::OnChildComplete(child, status);
}

void LazyParallelChunksWork::Describe(boost::property_tree::ptree& tree) const {
    tree.put("name", name_);
    DescribeTransfer(tree);
    fileData_->Describe(tree);
}

void LazyParallelChunksWork::Reset() {
    std::lock_guard<std::recursive_mutex> lock(Mutex());
    LazyParallelWork::Reset();
    next_ = 0;
    GiveBackAll();
}

std::shared_ptr<Work> LazyParallelChunksWork::GetNextWork() {
    if (next_ >= count_) {
        return nullptr;
    }
    std::uint64_t bytes = 0;
    if (budget_) {
        // What the chunk's view will hold, not the chunk's size: a view
        // streams a long chunk through a window.
        const std::uint64_t lower = file_->GetChunkLowerBound(next_);
        const std::uint64_t upper = file_->GetChunkUpperBound(next_);
        bytes = ViewMemoryBytes(upper >= lower ? upper - lower + 1 : 0);
        if (!budget_->TryTake(bytes, GetActiveCount() == 0)) {
            return nullptr;
        }
    }
    const std::uint32_t index = next_++;
    const std::vector<std::uint32_t>& checksums = file_->GetChecksums();
    auto mapData = std::make_shared<TransferSharedMapData>(
        fileData_, file_->GetChunkLowerBound(index), file_->GetChunkUpperBound(index),
        index < checksums.size() ? checksums[index] : 0, interface_->GetProgressUpdater());
    mapData->zeroFilled = fileData_->allocatedEmpty;
    if (digestsRequired_) {
        mapData->expectedDigest = file_->GetDigests().at(index);
    }
    std::shared_ptr<Work> work;
    try {
        work = CreateChunkWork(std::move(mapData));
    } catch (...) {
        if (budget_) {
            budget_->Give(bytes);
        }
        throw;
    }
    if (budget_) {
        held_[work.get()] += bytes;
    }
    return work;
}

// LazyParallelTransferMultipleChunksWork

std::shared_ptr<LazyParallelTransferMultipleChunksWork> LazyParallelTransferMultipleChunksWork::Create(
    std::shared_ptr<TransferWorkInterface> interface, std::shared_ptr<StandardFileManifest> file,
    std::shared_ptr<TransferSharedFileData> fileData) {
    return std::make_shared<LazyParallelTransferMultipleChunksWork>(Token(), std::move(interface),
                                                                    std::move(file), std::move(fileData));
}

LazyParallelTransferMultipleChunksWork::LazyParallelTransferMultipleChunksWork(
    Token, std::shared_ptr<TransferWorkInterface> interface, std::shared_ptr<StandardFileManifest> file,
    std::shared_ptr<TransferSharedFileData> fileData)
    : LazyParallelChunksWork(interface, std::move(file), std::move(fileData),
                             "LazyParallelTransferMultipleChunksWork",
                             TransferCapacity(interface->GetBehavior()),
                             interface->GetChunkMemoryBudget()),
      nodeList_(interface_->GetNodeList()),
      sequenceRetries_(AtLeastEveryNode(interface_->GetBehavior().settings.chunkRetries, nodeList_)),
      requestRetries_(AtLeastEveryNode(interface_->GetBehavior().settings.chunkRequestRetries, nodeList_)) {}

std::shared_ptr<Work> LazyParallelTransferMultipleChunksWork::CreateChunkWork(
    std::shared_ptr<TransferSharedMapData> mapData) {
    return TransferSingleChunkWork::Create(interface_, std::move(mapData), nodeList_, sequenceRetries_,
                                           requestRetries_);
}

void LazyParallelTransferMultipleChunksWork::ReleaseMaps() {
    std::lock_guard<std::recursive_mutex> lock(Mutex());
    for (const std::shared_ptr<Work>& child : GetActiveChildren()) {
        if (auto* chunk = dynamic_cast<ChunkSequenceWork*>(child.get())) {
            chunk->GetMapData()->map.reset();
        }
    }
}

// LazyParallelVerifyMultipleChunksWork

std::shared_ptr<LazyParallelVerifyMultipleChunksWork> LazyParallelVerifyMultipleChunksWork::Create(
    std::shared_ptr<TransferWorkInterface> interface, std::shared_ptr<StandardFileManifest> file,
    std::shared_ptr<TransferSharedFileData> fileData) {
    return std::make_shared<LazyParallelVerifyMultipleChunksWork>(Token(), std::move(interface),
                                                                  std::move(file), std::move(fileData));
}

LazyParallelVerifyMultipleChunksWork::LazyParallelVerifyMultipleChunksWork(
    Token, std::shared_ptr<TransferWorkInterface> interface, std::shared_ptr<StandardFileManifest> file,
    std::shared_ptr<TransferSharedFileData> fileData)
    : LazyParallelChunksWork(interface, std::move(file), std::move(fileData),
                             "LazyParallelVerifyMultipleChunksWork", Capacity(interface->GetBehavior()),
                             interface->GetChunkMemoryBudget()) {}

std::shared_ptr<Work> LazyParallelVerifyMultipleChunksWork::CreateChunkWork(
    std::shared_ptr<TransferSharedMapData> mapData) {
    return MapAndVerifyChunkWork::Create(interface_, std::move(mapData));
}

// ChunkSequenceWork

ChunkSequenceWork::ChunkSequenceWork(std::shared_ptr<TransferWorkInterface> interface,
                                     std::shared_ptr<TransferSharedMapData> mapData, const char* name)
    : TransferWork(std::move(interface)),
      SequentialWork(LogCompleteCallback(interface_->GetBehavior()), 4),
      mapData_(std::move(mapData)),
      name_(name) {}

void ChunkSequenceWork::Describe(boost::property_tree::ptree& tree) const {
    tree.put("name", name_);
    DescribeTransfer(tree);
    mapData_->Describe(tree);
}

void ChunkSequenceWork::Reset() {
    std::lock_guard<std::recursive_mutex> lock(Mutex());
    SequentialWork::Reset();
    mapData_->map.reset();
    mapData_->fileProgressBytes = 0;
}

std::shared_ptr<TransferSingleChunkWork> TransferSingleChunkWork::Create(
    std::shared_ptr<TransferWorkInterface> interface, std::shared_ptr<TransferSharedMapData> mapData,
    std::shared_ptr<NodeListManifest> nodeList, std::uint32_t sequenceRetries, std::uint32_t requestRetries) {
    auto work = std::make_shared<TransferSingleChunkWork>(Token(), interface, mapData);
    work->AddWork(CreateChunkMapWork::Create(interface, mapData));
    work->AddWork(PrefetchChunkWork::Create(interface, mapData));
    work->AddWork(ConditionalTransferChunkWork::Create(interface, mapData, std::move(nodeList),
                                                       sequenceRetries, requestRetries));
    work->AddWork(ReleaseChunkMapWork::Create(interface, mapData));
    return work;
}

TransferSingleChunkWork::TransferSingleChunkWork(Token, std::shared_ptr<TransferWorkInterface> interface,
                                                 std::shared_ptr<TransferSharedMapData> mapData)
    : ChunkSequenceWork(std::move(interface), std::move(mapData), "TransferSingleChunkWork") {}

std::shared_ptr<MapAndVerifyChunkWork> MapAndVerifyChunkWork::Create(
    std::shared_ptr<TransferWorkInterface> interface, std::shared_ptr<TransferSharedMapData> mapData) {
    auto work = std::make_shared<MapAndVerifyChunkWork>(Token(), interface, mapData);
    work->AddWork(CreateChunkMapWork::Create(interface, mapData));
    work->AddWork(PrefetchChunkWork::Create(interface, mapData));
    work->AddWork(VerifyChunkWork::Create(interface, mapData));
    work->AddWork(ReleaseChunkMapWork::Create(interface, mapData));
    return work;
}

MapAndVerifyChunkWork::MapAndVerifyChunkWork(Token, std::shared_ptr<TransferWorkInterface> interface,
                                             std::shared_ptr<TransferSharedMapData> mapData)
    : ChunkSequenceWork(std::move(interface), std::move(mapData), "MapAndVerifyChunkWork") {}

// ChunkMapWork and its leaves

ChunkMapWork::ChunkMapWork(std::shared_ptr<TransferWorkInterface> interface,
                           std::shared_ptr<TransferSharedMapData> mapData, const char* name)
    : TransferWork(std::move(interface)),
      SimpleWork(LogCompleteCallback(interface_->GetBehavior())),
      mapData_(std::move(mapData)),
      name_(name) {}

void ChunkMapWork::Describe(boost::property_tree::ptree& tree) const {
    tree.put("name", name_);
    DescribeTransfer(tree);
    mapData_->Describe(tree);
}

WorkStatus ChunkMapWork::ExecuteTask() {
    try {
        return Execute(*mapData_);
    } catch (...) {
        return FileExceptionStatus(std::current_exception());
    }
}

std::shared_ptr<CreateChunkMapWork> CreateChunkMapWork::Create(
    std::shared_ptr<TransferWorkInterface> interface, std::shared_ptr<TransferSharedMapData> mapData) {
    return std::make_shared<CreateChunkMapWork>(Token(), std::move(interface), std::move(mapData));
}

CreateChunkMapWork::CreateChunkMapWork(Token, std::shared_ptr<TransferWorkInterface> interface,
                                       std::shared_ptr<TransferSharedMapData> mapData)
    : ChunkMapWork(std::move(interface), std::move(mapData), "CreateChunkMapWork") {}

void CreateChunkMapWork::Reset() {
    ChunkMapWork::Reset();
    mapData_->map.reset();
}

WorkStatus CreateChunkMapWork::Execute(TransferSharedMapData& mapData) {
    const std::shared_ptr<SharedFile>& file = mapData.sharedFileData->file;
    if (!file) {
        return TransferErrorStatus(TransferError::InternalError,
                                   "CreateChunkMapWork::ExecuteTask has no shared file");
    }
    mapData.map = file->Map(mapData.lowerBound, mapData.upperBound);
    return WorkStatus(WorkResult::Success);
}

std::shared_ptr<PrefetchChunkWork> PrefetchChunkWork::Create(std::shared_ptr<TransferWorkInterface> interface,
                                                             std::shared_ptr<TransferSharedMapData> mapData) {
    return std::make_shared<PrefetchChunkWork>(Token(), std::move(interface), std::move(mapData));
}

PrefetchChunkWork::PrefetchChunkWork(Token, std::shared_ptr<TransferWorkInterface> interface,
                                     std::shared_ptr<TransferSharedMapData> mapData)
    : ChunkMapWork(std::move(interface), std::move(mapData), "PrefetchChunkWork") {}

WorkStatus PrefetchChunkWork::Execute(TransferSharedMapData& mapData) {
    if (!mapData.map) {
        return TransferErrorStatus(TransferError::InternalError,
                                   "PrefetchChunkWork::ExecuteTask has no shared map");
    }
    if (!mapData.zeroFilled) {
        mapData.map->Fetch();
    }
    return WorkStatus(WorkResult::Success);
}

std::shared_ptr<VerifyChunkWork> VerifyChunkWork::Create(std::shared_ptr<TransferWorkInterface> interface,
                                                         std::shared_ptr<TransferSharedMapData> mapData) {
    return std::make_shared<VerifyChunkWork>(Token(), std::move(interface), std::move(mapData));
}

VerifyChunkWork::VerifyChunkWork(Token, std::shared_ptr<TransferWorkInterface> interface,
                                 std::shared_ptr<TransferSharedMapData> mapData)
    : ChunkMapWork(std::move(interface), std::move(mapData), "VerifyChunkWork") {}

WorkStatus VerifyChunkWork::Execute(TransferSharedMapData& mapData) {
    if (!mapData.map) {
        return TransferErrorStatus(TransferError::InternalError,
                                   "VerifyChunkWork::ExecuteTask has no shared map");
    }
    // A chunk of a file allocated by this run is all zeros until its first
    // request: its checksum is known without reading it back.
    const std::uint64_t chunkLength = mapData.upperBound - mapData.lowerBound + 1;
    const std::uint32_t crc = mapData.zeroFilled ? Crc32OfZeros(static_cast<std::size_t>(chunkLength))
                                                 : mapData.map->Checksum();
    // A CRC-32 is easy to forge: with the publisher's digests the chunk must
    // also match its SHA-256, computed only once the cheap check passed.
    bool forged = false;
    if (crc == mapData.expectedChecksum && mapData.expectedDigest) {
        Sha256Digest digest{};
        if (mapData.zeroFilled) {
            digest = Sha256OfZeros(chunkLength);
        } else {
            Sha256 sha;
            mapData.map->Scan([&sha](const std::uint8_t* data, std::size_t size) { sha.Update(data, size); });
            digest = sha.Finish();
        }
        forged = digest != *mapData.expectedDigest;
    }
    mapData.zeroFilled = false;
    TransferProgressUpdater* progress = mapData.progressUpdater.get();
    if (crc == mapData.expectedChecksum && !forged) {
        const std::uint64_t length = static_cast<std::uint32_t>(mapData.upperBound - mapData.lowerBound + 1);
        const std::uint64_t counted = mapData.fileProgressBytes.load();
        if (progress != nullptr) {
            if (counted < length) {
                progress->AddDone(length - counted);
            } else if (counted > length) {
                progress->SubtractDone(counted - length);
            }
            progress->AddVerified(length);
        }
        mapData.fileProgressBytes = length;
        return WorkStatus(WorkResult::Success);
    }
    mapData.ResetProgress();
    if (mapData.lastRequestStatus.result == HttpRequestResult::Success) {
        const std::uint32_t bit = 1u << (mapData.lastNodeIndex % 32);
        if ((mapData.failedNodeMask & bit) == 0) {
            mapData.failedNodeMask |= bit;
            ++mapData.failedNodeCount;
        }
    }
    return WorkStatus(WorkResult::Failure, std::make_shared<ChecksumStatusData>(mapData_, crc, forged));
}

std::shared_ptr<ReleaseChunkMapWork> ReleaseChunkMapWork::Create(
    std::shared_ptr<TransferWorkInterface> interface, std::shared_ptr<TransferSharedMapData> mapData) {
    return std::make_shared<ReleaseChunkMapWork>(Token(), std::move(interface), std::move(mapData));
}

ReleaseChunkMapWork::ReleaseChunkMapWork(Token, std::shared_ptr<TransferWorkInterface> interface,
                                         std::shared_ptr<TransferSharedMapData> mapData)
    : ChunkMapWork(std::move(interface), std::move(mapData), "ReleaseChunkMapWork") {}

WorkStatus ReleaseChunkMapWork::Execute(TransferSharedMapData& mapData) {
    mapData.map.reset();
    return WorkStatus(WorkResult::Success);
}

// ConditionalTransferChunkWork

std::shared_ptr<ConditionalTransferChunkWork> ConditionalTransferChunkWork::Create(
    std::shared_ptr<TransferWorkInterface> interface, std::shared_ptr<TransferSharedMapData> mapData,
    std::shared_ptr<NodeListManifest> nodeList, std::uint32_t sequenceRetries, std::uint32_t requestRetries) {
    auto work = std::make_shared<ConditionalTransferChunkWork>(Token(), interface, mapData);
    work->SetCondition(VerifyChunkWork::Create(interface, mapData));
    work->SetThenWork(NoOpWork::Create(LogCompleteCallback(interface->GetBehavior())));
    work->SetElseWork(RetryableTransferChunkWork::Create(interface, mapData, std::move(nodeList),
                                                         sequenceRetries, requestRetries));
    return work;
}

ConditionalTransferChunkWork::ConditionalTransferChunkWork(Token,
                                                           std::shared_ptr<TransferWorkInterface> interface,
                                                           std::shared_ptr<TransferSharedMapData> mapData)
    : TransferWork(std::move(interface)),
      ConditionalWork(LogCompleteCallback(interface_->GetBehavior())),
      mapData_(std::move(mapData)) {}

void ConditionalTransferChunkWork::Describe(boost::property_tree::ptree& tree) const {
    tree.put("name", "ConditionalTransferChunkWork");
    DescribeTransfer(tree);
    mapData_->Describe(tree);
}

// RetryableTransferChunkWork

std::shared_ptr<RetryableTransferChunkWork> RetryableTransferChunkWork::Create(
    std::shared_ptr<TransferWorkInterface> interface, std::shared_ptr<TransferSharedMapData> mapData,
    std::shared_ptr<NodeListManifest> nodeList, std::uint32_t sequenceRetries, std::uint32_t requestRetries) {
    auto work = std::make_shared<RetryableTransferChunkWork>(Token(), interface, mapData, sequenceRetries);
    work->AddWork(OptimizedRequestChunkWork::Create(interface, mapData, std::move(nodeList), requestRetries));
    work->AddWork(VerifyChunkWork::Create(interface, mapData));
    return work;
}

RetryableTransferChunkWork::RetryableTransferChunkWork(Token,
                                                       std::shared_ptr<TransferWorkInterface> interface,
                                                       std::shared_ptr<TransferSharedMapData> mapData,
                                                       std::uint32_t maxRetries)
    : TransferWork(std::move(interface)),
      LimitedRetrySequentialWork(maxRetries, LogCompleteCallback(interface_->GetBehavior())),
      mapData_(std::move(mapData)) {}

void RetryableTransferChunkWork::Describe(boost::property_tree::ptree& tree) const {
    tree.put("name", "RetryableTransferChunkWork");
    DescribeTransfer(tree);
    mapData_->Describe(tree);
}

bool RetryableTransferChunkWork::CanRetry() {
    // Only a verification Failure gets here, and the request it judged ran
    // just before it in this pass. An answer that came in as the tree stopped
    // for another chunk's error is verified only after the owner's retry;
    // charging it to the retried run, whose allowance may already be used up,
    // would stop the transfer again for a fault that may be gone without a
    // single node being asked.
    const std::shared_ptr<Workflow> workflow = GetWorkflow();
    if (workflow && workflow->GetRetryCount() != mapData_->lastRequestRetryCount) {
        return true;
    }
    return LimitedRetrySequentialWork::CanRetry();
}

}  // namespace tvl
