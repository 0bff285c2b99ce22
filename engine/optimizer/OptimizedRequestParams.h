#pragma once

// What one chunk request asks of the optimizer and gets back: the candidate
// nodes still left to try, the chosen node and the request's timeouts. Owned
// by one chunk work and used by one thread at a time.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/http/HttpRequestParams.h"
#include "engine/manifest/NodeManifest.h"
#include "engine/service/TransferParams.h"

namespace tvl {

class HttpWriteCallback;
class TransferSharedMapData;

class OptimizedRequestParams {
  public:
    // The candidates start as every node of the list (none when the list is
    // empty).
    OptimizedRequestParams(std::shared_ptr<NodeListManifest> nodeList, const TransferParams& transfer,
                           std::shared_ptr<TransferSharedMapData> chunkData);
    OptimizedRequestParams(const OptimizedRequestParams&) = delete;
    OptimizedRequestParams& operator=(const OptimizedRequestParams&) = delete;

    // http://<node host><node path><partner>/<package>/<version>/<file path>,
    // https:// when the node's host names it. Every name is taken as literal
    // path text, so characters with a meaning in URLs (":", "?", "#", "%")
    // cannot change the host, the scheme or the file. Throws
    // std::invalid_argument without a selected node or chunk, or for a host
    // that is not a server address.
    std::string ToUrl() const;

    // A ranged GET of the chunk, or of what is left of it after
    // `resumeOffset`, with the chosen timeouts into `writer`.
    HttpRequestParams ToHttpRequestParams(HttpWriteCallback* writer) const;

    // The bytes the next request asks for: the chunk's, less what a stopped
    // request left in its view.
    std::uint64_t RequestBytes() const;

    // Takes the selected node out of the candidates; once none is left, every
    // node of the list is a candidate again.
    void RemoveSelectedNode();

    std::shared_ptr<NodeListManifest> nodeList;
    NodeManifestList nodes;
    TransferParams transfer;
    std::shared_ptr<TransferSharedMapData> chunkData;
    std::shared_ptr<NodeManifest> selectedNode;
    bool freeRetry = false;    // the next retry does not count against the work's allowance
    bool canEscalate = false;  // a timeout may still lengthen the adaptive timeouts
    bool exploring = false;    // a short probe of a host with too little history
    bool stoppedSlow = false;  // the last request was stopped as too slow (TransferOptimizer::KeepGoing)
    std::uint32_t slowStops = 0;  // requests of this chunk stopped as too slow
    // The chunk's first bytes that a request cut short (stopped as too slow,
    // or, where the optimizer continues such requests, reset, timed out or
    // paused) has left in the view: the next request continues after them
    // instead of fetching them again. The chunk's CRC-32 still covers every byte, wherever it
    // came from. 0 when the next request fetches the whole chunk.
    std::uint64_t resumeOffset = 0;
    // Set by the caller before GetNode and KeepGoing: how many other requests
    // of the transfer wait for a slot. None: the transfer is in its last
    // requests.
    std::size_t waitingRequests = 0;
    bool spare = false;  // sent to a slower node while the fast ones were busy enough
    std::int32_t connectTimeoutSeconds = 0;
    std::int32_t timeoutSeconds = 0;
    std::int32_t lowSpeedLimit = 0;
    std::int32_t lowSpeedTimeSeconds = 0;
};

}  // namespace tvl
