#pragma once

// The chunk level of a transfer's trees. For every chunk of a file a small
// sequence maps the chunk's byte range of the allocated file, brings it in,
// checks whether it already carries the manifest's CRC-32 (so an interrupted
// transfer resumes without downloading again) and otherwise downloads it from
// a node the optimizer picks, verifies it and retries on other nodes:
//
//   TransferSingleChunkWork [ CreateChunkMapWork, PrefetchChunkWork,
//     ConditionalTransferChunkWork [ VerifyChunkWork ? NoOpWork
//       : RetryableTransferChunkWork [ OptimizedRequestChunkWork, VerifyChunkWork ] ],
//     ReleaseChunkMapWork ]
//
// A verification runs MapAndVerifyChunkWork [ create, prefetch, verify, release ].
// All works of one chunk share its TransferSharedMapData and touch it one at
// a time (the sequence orders them); chunk trees of one file run in parallel
// on disjoint ranges. Progress moves through the transfer's atomic updater.

#include <cstdint>
#include <memory>
#include <unordered_map>

#include "engine/work/ConditionalWork.h"
#include "engine/work/LazyParallelWork.h"
#include "engine/work/LimitedRetrySequentialWork.h"
#include "engine/work/SequentialWork.h"
#include "engine/work/SimpleWork.h"
#include "engine/workflow/TransferWork.h"

namespace tvl {

class ChunkMemoryBudget;
class NodeListManifest;
class StandardFileManifest;
class TransferSharedFileData;
class TransferSharedMapData;

// Chunk trees of one file in index order, at most `capacity` at once; with a
// budget, a chunk starts only when its bytes fit the transfer's budget (or
// when the file has no other chunk under way).
class LazyParallelChunksWork : public TransferWork, public LazyParallelWork {
  public:
    ~LazyParallelChunksWork() override;
    void Describe(boost::property_tree::ptree& tree) const override;
    void Reset() override;

  protected:
    LazyParallelChunksWork(std::shared_ptr<TransferWorkInterface> interface,
                           std::shared_ptr<StandardFileManifest> file,
                           std::shared_ptr<TransferSharedFileData> fileData, const char* name,
                           std::uint32_t capacity, std::shared_ptr<ChunkMemoryBudget> budget);

    std::shared_ptr<Work> GetNextWork() override;
    CompositeResult OnChildComplete(const std::shared_ptr<const Work>& child, const WorkStatus& status) override;
    virtual std::shared_ptr<Work> CreateChunkWork(std::shared_ptr<TransferSharedMapData> mapData) = 0;

    const std::shared_ptr<StandardFileManifest> file_;
    const std::shared_ptr<TransferSharedFileData> fileData_;

  private:
    void GiveBackAll();

    const char* const name_;
    const std::uint32_t count_;
    std::uint32_t next_ = 0;
    const std::shared_ptr<ChunkMemoryBudget> budget_;  // may be null
    const bool digestsRequired_;
    std::unordered_map<const Work*, std::uint64_t> held_;  // budget bytes per chunk under way
};

class LazyParallelTransferMultipleChunksWork : public LazyParallelChunksWork {
    struct Token {};

  public:
    static std::shared_ptr<LazyParallelTransferMultipleChunksWork> Create(
        std::shared_ptr<TransferWorkInterface> interface, std::shared_ptr<StandardFileManifest> file,
        std::shared_ptr<TransferSharedFileData> fileData);
    LazyParallelTransferMultipleChunksWork(Token, std::shared_ptr<TransferWorkInterface> interface,
                                           std::shared_ptr<StandardFileManifest> file,
                                           std::shared_ptr<TransferSharedFileData> fileData);

    // Drops the view of every chunk still running, so that nothing holds the
    // file's bytes once the file itself is let go.
    void ReleaseMaps();

  protected:
    std::shared_ptr<Work> CreateChunkWork(std::shared_ptr<TransferSharedMapData> mapData) override;

  private:
    // Read once per file rather than once per chunk.
    const std::shared_ptr<NodeListManifest> nodeList_;
    const std::uint32_t sequenceRetries_;
    const std::uint32_t requestRetries_;
};

class LazyParallelVerifyMultipleChunksWork : public LazyParallelChunksWork {
    struct Token {};

  public:
    static std::shared_ptr<LazyParallelVerifyMultipleChunksWork> Create(
        std::shared_ptr<TransferWorkInterface> interface, std::shared_ptr<StandardFileManifest> file,
        std::shared_ptr<TransferSharedFileData> fileData);
    LazyParallelVerifyMultipleChunksWork(Token, std::shared_ptr<TransferWorkInterface> interface,
                                         std::shared_ptr<StandardFileManifest> file,
                                         std::shared_ptr<TransferSharedFileData> fileData);

  protected:
    std::shared_ptr<Work> CreateChunkWork(std::shared_ptr<TransferSharedMapData> mapData) override;
};

// A chunk's sequence. Its Reset also forgets the view and the chunk's counted
// bytes, without touching the transfer's counters.
class ChunkSequenceWork : public TransferWork, public SequentialWork {
  public:
    void Describe(boost::property_tree::ptree& tree) const override;
    void Reset() override;

    const std::shared_ptr<TransferSharedMapData>& GetMapData() const { return mapData_; }

  protected:
    ChunkSequenceWork(std::shared_ptr<TransferWorkInterface> interface,
                      std::shared_ptr<TransferSharedMapData> mapData, const char* name);

    const std::shared_ptr<TransferSharedMapData> mapData_;

  private:
    const char* const name_;
};

class TransferSingleChunkWork : public ChunkSequenceWork {
    struct Token {};

  public:
    // The callers make both retry counts at least nodes - 1, so every node gets a turn.
    static std::shared_ptr<TransferSingleChunkWork> Create(std::shared_ptr<TransferWorkInterface> interface,
                                                           std::shared_ptr<TransferSharedMapData> mapData,
                                                           std::shared_ptr<NodeListManifest> nodeList,
                                                           std::uint32_t sequenceRetries,
                                                           std::uint32_t requestRetries);
    TransferSingleChunkWork(Token, std::shared_ptr<TransferWorkInterface> interface,
                            std::shared_ptr<TransferSharedMapData> mapData);
};

class MapAndVerifyChunkWork : public ChunkSequenceWork {
    struct Token {};

  public:
    static std::shared_ptr<MapAndVerifyChunkWork> Create(std::shared_ptr<TransferWorkInterface> interface,
                                                         std::shared_ptr<TransferSharedMapData> mapData);
    MapAndVerifyChunkWork(Token, std::shared_ptr<TransferWorkInterface> interface,
                          std::shared_ptr<TransferSharedMapData> mapData);
};

// The leaves that work on the chunk's view. File exceptions become statuses
// through TransferFileExceptionData.
class ChunkMapWork : public TransferWork, public SimpleWork {
  public:
    void Describe(boost::property_tree::ptree& tree) const override;
    void Abort() override {}

  protected:
    ChunkMapWork(std::shared_ptr<TransferWorkInterface> interface,
                 std::shared_ptr<TransferSharedMapData> mapData, const char* name);

    WorkStatus ExecuteTask() override;
    virtual WorkStatus Execute(TransferSharedMapData& mapData) = 0;

    const std::shared_ptr<TransferSharedMapData> mapData_;

  private:
    const char* const name_;
};

class CreateChunkMapWork : public ChunkMapWork {
    struct Token {};

  public:
    static std::shared_ptr<CreateChunkMapWork> Create(std::shared_ptr<TransferWorkInterface> interface,
                                                      std::shared_ptr<TransferSharedMapData> mapData);
    CreateChunkMapWork(Token, std::shared_ptr<TransferWorkInterface> interface,
                       std::shared_ptr<TransferSharedMapData> mapData);

    void Reset() override;

  protected:
    WorkStatus Execute(TransferSharedMapData& mapData) override;
};

class PrefetchChunkWork : public ChunkMapWork {
    struct Token {};

  public:
    static std::shared_ptr<PrefetchChunkWork> Create(std::shared_ptr<TransferWorkInterface> interface,
                                                     std::shared_ptr<TransferSharedMapData> mapData);
    PrefetchChunkWork(Token, std::shared_ptr<TransferWorkInterface> interface,
                      std::shared_ptr<TransferSharedMapData> mapData);

  protected:
    WorkStatus Execute(TransferSharedMapData& mapData) override;
};

// Success when the view carries the expected CRC-32, which makes the chunk's
// bytes count as done and verified; otherwise Failure with ChecksumStatusData,
// the chunk's counted bytes withdrawn and the serving node marked.
class VerifyChunkWork : public ChunkMapWork {
    struct Token {};

  public:
    static std::shared_ptr<VerifyChunkWork> Create(std::shared_ptr<TransferWorkInterface> interface,
                                                   std::shared_ptr<TransferSharedMapData> mapData);
    VerifyChunkWork(Token, std::shared_ptr<TransferWorkInterface> interface,
                    std::shared_ptr<TransferSharedMapData> mapData);

  protected:
    WorkStatus Execute(TransferSharedMapData& mapData) override;
};

class ReleaseChunkMapWork : public ChunkMapWork {
    struct Token {};

  public:
    static std::shared_ptr<ReleaseChunkMapWork> Create(std::shared_ptr<TransferWorkInterface> interface,
                                                       std::shared_ptr<TransferSharedMapData> mapData);
    ReleaseChunkMapWork(Token, std::shared_ptr<TransferWorkInterface> interface,
                        std::shared_ptr<TransferSharedMapData> mapData);

  protected:
    WorkStatus Execute(TransferSharedMapData& mapData) override;
};

// Verify; when the bytes on disk do not match, download and verify again.
class ConditionalTransferChunkWork : public TransferWork, public ConditionalWork {
    struct Token {};

  public:
    static std::shared_ptr<ConditionalTransferChunkWork> Create(
        std::shared_ptr<TransferWorkInterface> interface, std::shared_ptr<TransferSharedMapData> mapData,
        std::shared_ptr<NodeListManifest> nodeList, std::uint32_t sequenceRetries,
        std::uint32_t requestRetries);
    ConditionalTransferChunkWork(Token, std::shared_ptr<TransferWorkInterface> interface,
                                 std::shared_ptr<TransferSharedMapData> mapData);

    void Describe(boost::property_tree::ptree& tree) const override;

  private:
    const std::shared_ptr<TransferSharedMapData> mapData_;
};

// Request and verify, again from the request while the verification fails
// and retries are left.
class RetryableTransferChunkWork : public TransferWork, public LimitedRetrySequentialWork {
    struct Token {};

  public:
    static std::shared_ptr<RetryableTransferChunkWork> Create(
        std::shared_ptr<TransferWorkInterface> interface, std::shared_ptr<TransferSharedMapData> mapData,
        std::shared_ptr<NodeListManifest> nodeList, std::uint32_t sequenceRetries,
        std::uint32_t requestRetries);
    RetryableTransferChunkWork(Token, std::shared_ptr<TransferWorkInterface> interface,
                               std::shared_ptr<TransferSharedMapData> mapData, std::uint32_t maxRetries);

    void Describe(boost::property_tree::ptree& tree) const override;
    // A verification that failed on bytes requested before the workflow was
    // last retried starts the pair over without using up a retry: the tree
    // may have stopped (and the fault gone away) between that request and its
    // verification, and the retried run owes the chunk a request of its own.
    bool CanRetry() override;

  private:
    const std::shared_ptr<TransferSharedMapData> mapData_;
};

}  // namespace tvl
