#pragma once

// Downloads one chunk into its view: asks the optimizer for a node and
// timeouts, requests the chunk's byte range from that node straight into the
// view, and reports the outcome to the node's statistics and the optimizer.
// Each finished attempt takes its node out of the candidates, so successive
// attempts of a chunk go to different nodes until all have been tried.
//
// Threading: ExecuteTask runs on one worker thread at a time; Abort comes from
// another thread and cancels the request in flight. The mutex guards only the
// current request.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "engine/optimizer/OptimizedRequestParams.h"
#include "engine/work/LimitedRetrySimpleWork.h"
#include "engine/workflow/TransferWork.h"

namespace tvl {

class HttpRequest;
class NodeListManifest;
class TransferSharedMapData;

class OptimizedRequestChunkWork : public TransferWork, public LimitedRetrySimpleWork {
    struct Token {};

  public:
    static std::shared_ptr<OptimizedRequestChunkWork> Create(std::shared_ptr<TransferWorkInterface> interface,
                                                             std::shared_ptr<TransferSharedMapData> mapData,
                                                             std::shared_ptr<NodeListManifest> nodeList,
                                                             std::uint32_t maxRetries);
    OptimizedRequestChunkWork(Token, std::shared_ptr<TransferWorkInterface> interface,
                              std::shared_ptr<TransferSharedMapData> mapData,
                              std::shared_ptr<NodeListManifest> nodeList, std::uint32_t maxRetries);

    void Describe(boost::property_tree::ptree& tree) const override;
    // A timeout that lengthened the adaptive timeouts retries without counting.
    bool CanRetry() override;
    void Abort() override;
    bool WaitsOnNetwork() const override { return true; }

    // Empty until the first request: a chunk whose bytes already match never needs them.
    const std::optional<OptimizedRequestParams>& GetParams() const { return params_; }

  protected:
    WorkStatus ExecuteTask() override;

  private:
    void SetCurrentRequest(std::shared_ptr<HttpRequest> request);

    const std::shared_ptr<TransferSharedMapData> mapData_;
    const std::shared_ptr<NodeListManifest> nodeList_;
    // Made at the first request, on the worker thread: the parameters copy is
    // taken under the transfer's lock, which tree building must not nest in a
    // composite's lock.
    std::optional<OptimizedRequestParams> params_;
    std::mutex mutex_;
    std::shared_ptr<HttpRequest> currentRequest_;
};

}  // namespace tvl
