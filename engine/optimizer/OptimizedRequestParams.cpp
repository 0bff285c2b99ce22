#include "engine/optimizer/OptimizedRequestParams.h"

#include <Poco/URI.h>

#include <algorithm>
#include <stdexcept>

#include "engine/workflow/TransferSharedFileData.h"
#include "engine/workflow/TransferSharedMapData.h"

namespace tvl {
namespace {

// A relative reference made of path text only. Setting the path directly
// (instead of parsing the text as a URI) keeps a name such as "a:b" from
// reading as a scheme and "?" or "#" from starting a query or fragment. The
// path setter decodes percent escapes, so "%" itself is escaped first to
// reach the server as the file's own character.
Poco::URI RelativePath(const std::string& path) {
    std::string literal;
    literal.reserve(path.size());
    for (char c : path) {
        if (c == '%') {
            literal += "%25";
        } else {
            literal += c;
        }
    }
    Poco::URI reference;
    reference.setPath(literal);
    return reference;
}

}  // namespace

OptimizedRequestParams::OptimizedRequestParams(std::shared_ptr<NodeListManifest> nodeList,
                                               const TransferParams& transfer,
                                               std::shared_ptr<TransferSharedMapData> chunkData)
    : nodeList(std::move(nodeList)), transfer(transfer), chunkData(std::move(chunkData)) {
    if (this->nodeList) {
        nodes = this->nodeList->GetNodes();
    }
}

std::string OptimizedRequestParams::ToUrl() const {
    if (!selectedNode || !chunkData || !chunkData->sharedFileData) {
        throw std::invalid_argument(
            "OptimizedRequestParams::ToUrl invoked with no SelectedNode or no ChunkData");
    }
    // The list's reader has refused such hosts already; a node made some
    // other way must not reach the network under a scheme of its own choosing.
    const auto address = ParseServerAddress(selectedNode->GetHost());
    if (!address) {
        throw std::invalid_argument("not a usable node host: \"" + selectedNode->GetHost() + "\"");
    }
    Poco::URI uri(address->scheme, address->authority, selectedNode->GetPath(), "");
    uri.resolve(RelativePath(transfer.partnerId + "/"));
    uri.resolve(RelativePath(transfer.packageId + "/"));
    uri.resolve(RelativePath(transfer.versionId + "/"));
    uri.resolve(RelativePath(chunkData->sharedFileData->path));
    return uri.toString();
}

HttpRequestParams OptimizedRequestParams::ToHttpRequestParams(HttpWriteCallback* writer) const {
    HttpRequestParams params(ToUrl(), writer);
    params.rangeStart = chunkData->lowerBound + resumeOffset;
    params.rangeEnd = chunkData->upperBound;
    params.connectTimeoutSeconds = connectTimeoutSeconds;
    params.timeoutSeconds = timeoutSeconds;
    params.lowSpeedLimit = lowSpeedLimit;
    params.lowSpeedTimeSeconds = lowSpeedTimeSeconds;
    return params;
}

std::uint64_t OptimizedRequestParams::RequestBytes() const {
    if (!chunkData || chunkData->upperBound < chunkData->lowerBound) {
        return 0;
    }
    const std::uint64_t chunk = chunkData->upperBound - chunkData->lowerBound + 1;
    return resumeOffset < chunk ? chunk - resumeOffset : 0;
}

void OptimizedRequestParams::RemoveSelectedNode() {
    nodes.erase(std::remove(nodes.begin(), nodes.end(), selectedNode), nodes.end());
    if (nodes.empty() && nodeList) {
        nodes = nodeList->GetNodes();
    }
}

}  // namespace tvl
