#include "engine/workflow/OptimizedRequestChunkWork.h"

#include <boost/property_tree/ptree.hpp>
#include <chrono>
#include <new>
#include <stdexcept>

#include "engine/file/MemoryMappedFileData.h"
#include "engine/http/HttpRequest.h"
#include "engine/http/HttpRequestFactory.h"
#include "engine/http/TransferHttpWriter.h"
#include "engine/manifest/NodeManifest.h"
#include "engine/optimizer/NodeStatistics.h"
#include "engine/optimizer/TransferOptimizer.h"
#include "engine/service/TransferBehavior.h"
#include "engine/service/TransferWorkInterface.h"
#include "engine/work/Workflow.h"
#include "engine/workflow/TransferSharedMapData.h"

namespace tvl {
namespace {

// What an HTTP outcome means for the attempt: a transport or content problem
// may go away on another node; a broken request or a missing body never will.
WorkResult WorkResultOf(HttpRequestResult result) {
    switch (result) {
        case HttpRequestResult::Success:
            return WorkResult::Success;
        case HttpRequestResult::Aborted:
            return WorkResult::Cancelled;
        case HttpRequestResult::InvalidRequest:
        case HttpRequestResult::ResolveFailure:
        case HttpRequestResult::ConnectFailure:
        case HttpRequestResult::HttpClientError:
        case HttpRequestResult::HttpServerError:
        case HttpRequestResult::ConnectionReset:
        case HttpRequestResult::WriteError:
        case HttpRequestResult::DataMismatch:
        case HttpRequestResult::RequestTimeout:
        case HttpRequestResult::OtherError:
            return WorkResult::RetryableError;
        case HttpRequestResult::OutOfMemory:
        case HttpRequestResult::NotStarted:
        case HttpRequestResult::InProgress:
            return WorkResult::Error;
    }
    return WorkResult::Error;
}

// Endings that cut a body short without saying anything against the bytes
// already written: a pause, a connection lost, a node too slow for the time
// allowed.
bool CutShortWithItsBytesIntact(HttpRequestResult result) {
    return result == HttpRequestResult::Aborted || result == HttpRequestResult::ConnectionReset ||
           result == HttpRequestResult::RequestTimeout;
}

std::uint32_t IndexOf(const NodeListManifest* nodeList, const std::shared_ptr<NodeManifest>& node) {
    if (nodeList == nullptr) {
        return 0;
    }
    const NodeManifestList& nodes = nodeList->GetNodes();
    std::uint32_t index = 0;
    while (index < nodes.size() && nodes[index] != node) {
        ++index;
    }
    return index;
}

// Tells the optimizer once that the request it chose has ended, also when
// an exception leaves before or after the request ran.
class RequestEnd {
  public:
    RequestEnd(TransferOptimizer* optimizer, OptimizedRequestParams& params)
        : optimizer_(optimizer), params_(params) {}
    ~RequestEnd() {
        try {
            Report(HttpRequestStatus());
        } catch (...) {
        }
    }
    RequestEnd(const RequestEnd&) = delete;
    RequestEnd& operator=(const RequestEnd&) = delete;

    void Report(const HttpRequestStatus& status) {
        if (!reported_) {
            reported_ = true;
            optimizer_->OnRequestEnd(params_, status);
        }
    }

  private:
    TransferOptimizer* optimizer_;
    OptimizedRequestParams& params_;
    bool reported_ = false;
};

// How often a running request asks the optimizer whether to go on: often
// enough to leave a slow node within a fraction of a second of the verdict,
// rarely enough that the optimizer's lock is not a point of contention. In
// the last requests of a transfer few ask, and every moment a fast node sits
// idle while a slow one finishes lengthens the whole transfer.
constexpr std::chrono::milliseconds kKeepGoingInterval(200);
constexpr std::chrono::milliseconds kTailKeepGoingInterval(50);

}  // namespace

std::shared_ptr<OptimizedRequestChunkWork> OptimizedRequestChunkWork::Create(
    std::shared_ptr<TransferWorkInterface> interface, std::shared_ptr<TransferSharedMapData> mapData,
    std::shared_ptr<NodeListManifest> nodeList, std::uint32_t maxRetries) {
    return std::make_shared<OptimizedRequestChunkWork>(Token(), std::move(interface), std::move(mapData),
                                                       std::move(nodeList), maxRetries);
}

OptimizedRequestChunkWork::OptimizedRequestChunkWork(Token, std::shared_ptr<TransferWorkInterface> interface,
                                                     std::shared_ptr<TransferSharedMapData> mapData,
                                                     std::shared_ptr<NodeListManifest> nodeList,
                                                     std::uint32_t maxRetries)
    : TransferWork(std::move(interface)),
      LimitedRetrySimpleWork(maxRetries, LogCompleteCallback(interface_->GetBehavior())),
      mapData_(std::move(mapData)),
      nodeList_(std::move(nodeList)) {}

void OptimizedRequestChunkWork::Describe(boost::property_tree::ptree& tree) const {
    tree.put("name", "OptimizedRequestChunkWork");
    DescribeTransfer(tree);
    mapData_->Describe(tree);
}

bool OptimizedRequestChunkWork::CanRetry() {
    if (params_ && params_->freeRetry) {
        return true;
    }
    return LimitedRetrySimpleWork::CanRetry();
}

void OptimizedRequestChunkWork::Abort() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (currentRequest_) {
        currentRequest_->Cancel();
    }
}

void OptimizedRequestChunkWork::SetCurrentRequest(std::shared_ptr<HttpRequest> request) {
    std::lock_guard<std::mutex> lock(mutex_);
    currentRequest_ = std::move(request);
}

WorkStatus OptimizedRequestChunkWork::ExecuteTask() {
    TransferSharedMapData& mapData = *mapData_;
    if (!mapData.map) {
        return TransferErrorStatus(TransferError::InternalError,
                                   "OptimizedRequestChunkWork::ExecuteTask has no shared map");
    }
    try {
        const TransferBehavior& behavior = interface_->GetBehavior();
        TransferOptimizer* optimizer = behavior.transferOptimizer;
        HttpRequestFactory* requests = behavior.httpRequestFactory;
        if (optimizer == nullptr || requests == nullptr) {
            throw std::logic_error(
                "OptimizedRequestChunkWork::ExecuteTask has no optimizer or request factory");
        }
        if (!params_) {
            params_.emplace(nodeList_, interface_->CopyParams(), mapData_);
        }
        OptimizedRequestParams& params = *params_;
        // A request stopped for a faster node left the chunk's first bytes in
        // the view; the next one continues after them, as long as the view
        // still stands where that request left it.
        const bool resuming = params.resumeOffset != 0 &&
                              mapData.map->Tell() == mapData.lowerBound + params.resumeOffset;
        if (!resuming) {
            params.resumeOffset = 0;
        }
        const std::shared_ptr<Workflow> workflow = GetWorkflow();
        params.waitingRequests = workflow ? workflow->GetWaitingNetworkWorks() : 0;
        optimizer->GetNode(params);
        RequestEnd requestEnd(optimizer, params);
        params.stoppedSlow = false;
        const std::shared_ptr<NodeManifest> node = params.selectedNode;

        // The writer lives on this stack for exactly as long as the request runs.
        TransferHttpWriter writer(mapData_);
        HttpRequestParams requestParams = params.ToHttpRequestParams(&writer);
        if (optimizer->StopsSlowRequests()) {
            // Called on this thread from within Execute, so params needs no lock.
            using Clock = std::chrono::steady_clock;
            // A weak reference: a pooled request keeps its parameters after
            // it ends, and must not keep the workflow alive with them.
            requestParams.keepGoing = [optimizer, &params, weakWorkflow = std::weak_ptr<Workflow>(workflow),
                                       start = Clock::now(),
                                       nextCheck = Clock::now() + kKeepGoingInterval](
                                          std::uint64_t written) mutable {
                const Clock::time_point now = Clock::now();
                if (now < nextCheck) {
                    return true;
                }
                const double elapsed = std::chrono::duration<double>(now - start).count();
                const std::shared_ptr<Workflow> current = weakWorkflow.lock();
                params.waitingRequests = current ? current->GetWaitingNetworkWorks() : 0;
                nextCheck = now + (params.waitingRequests == 0 ? kTailKeepGoingInterval : kKeepGoingInterval);
                if (optimizer->KeepGoing(params, written, elapsed)) {
                    return true;
                }
                params.stoppedSlow = true;
                return false;
            };
        }
        std::shared_ptr<HttpRequest> request =
            requests->CreateRequest(requestParams, interface_->GetHttpSession());
        SetCurrentRequest(request);
        if (!resuming) {
            mapData.ResetProgress();
        }
        if (workflow) {
            mapData.lastRequestRetryCount = workflow->GetRetryCount();
        }
        if (IsCancelled()) {
            request->Cancel();
        }

        const HttpRequestStatus status = request->Execute();
        requestEnd.Report(status);
        params.resumeOffset = 0;
        if (status.result != HttpRequestResult::RequestTimeout) {
            params.stoppedSlow = false;
        }
        auto statusData = std::make_shared<HttpTransferStatusData>(node->GetHost(), status);
        const WorkResult result = WorkResultOf(status.result);

        mapData.lastNodeIndex = IndexOf(params.nodeList.get(), node);
        mapData.lastRequestStatus = status;
        mapData.lastPosition = mapData.map->Tell();
        if (status.result == HttpRequestResult::WriteError && writer.GetFileFailure()) {
            // A chunk streamed through its view writes to the file while the
            // body arrives, so a full disk can end the request: the file's
            // error is reported, and the node is not held to blame.
            SetCurrentRequest(nullptr);
            return FileExceptionStatus(writer.GetFileFailure());
        }
        if (const std::shared_ptr<NodeStatistics> statistics = node->GetStatistics()) {
            statistics->Update(status);
        }
        if (result == WorkResult::Success || result == WorkResult::RetryableError) {
            optimizer->ReportResult(params, statusData);
        }
        if (result != WorkResult::Cancelled) {
            params.RemoveSelectedNode();
            if (status.result == HttpRequestResult::RequestTimeout && params.canEscalate) {
                params.freeRetry = true;
            }
            if (params.stoppedSlow) {
                // Stopped for the sake of a faster node, not failed: the
                // retry on that node does not use up the allowance.
                ++params.slowStops;
                params.freeRetry = true;
            }
        }
        // The next request asks only for what this one did not write. The
        // chunk's CRC-32 covers the bytes of both, so a bad start sends the
        // chunk round again whole. A body that ran past the chunk, or any
        // other failure, leaves nothing worth keeping.
        if ((params.stoppedSlow ||
             (optimizer->ContinuesCutShortRequests() && CutShortWithItsBytesIntact(status.result))) &&
            mapData.lastPosition > mapData.lowerBound && mapData.lastPosition <= mapData.upperBound) {
            params.resumeOffset = mapData.lastPosition - mapData.lowerBound;
        }
        SetCurrentRequest(nullptr);
        return WorkStatus(result, std::move(statusData));
    } catch (...) {
        SetCurrentRequest(nullptr);
        return CurrentExceptionStatus(TransferError::InternalError);
    }
}

}  // namespace tvl
