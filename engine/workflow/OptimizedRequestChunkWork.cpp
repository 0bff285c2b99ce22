#include "engine/workflow/OptimizedRequestChunkWork.h"

#include <boost/property_tree/ptree.hpp>
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
        optimizer->GetNode(params);
        const std::shared_ptr<NodeManifest> node = params.selectedNode;

        // The writer lives on this stack for exactly as long as the request runs.
        TransferHttpWriter writer(mapData_);
        std::shared_ptr<HttpRequest> request =
            requests->CreateRequest(params.ToHttpRequestParams(&writer), interface_->GetHttpSession());
        SetCurrentRequest(request);
        mapData.ResetProgress();
        if (const std::shared_ptr<Workflow> workflow = GetWorkflow()) {
            mapData.lastRequestRetryCount = workflow->GetRetryCount();
        }
        if (IsCancelled()) {
            request->Cancel();
        }

        const HttpRequestStatus status = request->Execute();
        auto statusData = std::make_shared<HttpTransferStatusData>(node->GetHost(), status);
        const WorkResult result = WorkResultOf(status.result);

        mapData.lastNodeIndex = IndexOf(params.nodeList.get(), node);
        mapData.lastRequestStatus = status;
        mapData.lastPosition = mapData.map->Tell();
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
        }
        SetCurrentRequest(nullptr);
        return WorkStatus(result, std::move(statusData));
    } catch (...) {
        SetCurrentRequest(nullptr);
        return CurrentExceptionStatus(TransferError::InternalError);
    }
}

}  // namespace tvl
