#pragma once

// Nodes, node lists, chunks and request outcomes for the optimizer's tests
// and benchmarks, built without any network or file.

#include <boost/property_tree/ptree.hpp>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/http/HttpRequestStatus.h"
#include "engine/http/TransferHttpWriter.h"
#include "engine/manifest/NodeManifest.h"
#include "engine/optimizer/OptimizedRequestParams.h"
#include "engine/service/TransferParams.h"
#include "engine/service/TransferSettings.h"
#include "engine/workflow/TransferSharedFileData.h"
#include "engine/workflow/TransferSharedMapData.h"

namespace tvl::testing {

inline std::shared_ptr<NodeManifest> MakeNode(const std::string& host, std::uint32_t weight = 1,
                                              const std::string& path = "/packages/") {
    boost::property_tree::ptree tree;
    tree.put("NodeId", "node-" + host);
    tree.put("Host", host);
    tree.put("Path", path);
    tree.put("Weight", weight);
    auto node = std::make_shared<StandardNodeManifest>();
    node->Read(tree);
    return node;
}

class FixedNodeList : public NodeListManifest {
  public:
    explicit FixedNodeList(NodeManifestList nodes) : nodes_(std::move(nodes)) {}
    void Read(const boost::property_tree::ptree&) override {}
    const NodeManifestList& GetNodes() const override { return nodes_; }

  private:
    NodeManifestList nodes_;
};

inline std::shared_ptr<FixedNodeList> MakeNodeList(const std::vector<std::string>& hosts) {
    NodeManifestList nodes;
    for (const auto& host : hosts) {
        nodes.push_back(MakeNode(host));
    }
    return std::make_shared<FixedNodeList>(std::move(nodes));
}

inline TransferParams MakeTransfer() {
    TransferParams transfer;
    transfer.partnerId = "p";
    transfer.packageId = "k";
    transfer.versionId = "v";
    return transfer;
}

inline std::shared_ptr<TransferSharedMapData> MakeChunk(std::uint64_t lower, std::uint64_t upper,
                                                        const std::string& path = "bin/app.exe") {
    auto file = std::make_shared<TransferSharedFileData>(path, upper + 1);
    return std::make_shared<TransferSharedMapData>(file, lower, upper, 0, nullptr);
}

inline std::unique_ptr<OptimizedRequestParams> MakeParams(std::shared_ptr<NodeListManifest> list,
                                                          std::uint64_t chunkBytes = 1048576) {
    return std::make_unique<OptimizedRequestParams>(std::move(list), MakeTransfer(),
                                                    MakeChunk(0, chunkBytes - 1));
}

inline std::shared_ptr<HttpTransferStatusData> Outcome(const std::string& host, HttpRequestResult result,
                                                       std::uint64_t bytes = 0, std::uint32_t ms = 0) {
    HttpRequestStatus status;
    status.result = result;
    status.bytesWritten = bytes;
    status.requestTimeMs = ms;
    status.firstByteTimeMs = ms / 10;
    return std::make_shared<HttpTransferStatusData>(host, status);
}

// Fixed settings, independent of the machine's thread count.
inline TransferSettings TestSettings() {
    TransferSettings settings;
    settings.workThreads = 4;
    return settings;
}

}  // namespace tvl::testing
