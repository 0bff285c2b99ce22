#pragma once

// The download nodes that serve a package's files, with a weight each. Read
// once from the manifest host's node list; immutable afterwards except for
// ResetWeight during the list's own Read. Safe to share between threads.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/manifest/Manifest.h"

namespace tvl {

class NodeStatistics;

class NodeManifest : public InputManifest, public OutputManifest, public std::enable_shared_from_this<NodeManifest> {
public:
    virtual const std::string& GetNodeId() const = 0;
    virtual const std::string& GetHost() const = 0;
    virtual const std::string& GetPath() const = 0;
    virtual std::uint32_t GetWeight() const = 0;
    virtual void ResetWeight() = 0;
    virtual std::shared_ptr<NodeStatistics> GetStatistics() const = 0;
    // A copy of this node that reports the given statistics instead of its own.
    virtual std::shared_ptr<NodeManifest> CloneWithStatistics(std::shared_ptr<NodeStatistics> statistics) const = 0;
};

// One "NodeInfo". The host is a server address (see ParseServerAddress): it
// gives the scheme and authority of every chunk URL.
class StandardNodeManifest : public NodeManifest {
public:
    StandardNodeManifest();

    void Read(const boost::property_tree::ptree& tree) override;
    void Write(boost::property_tree::ptree& tree) const override;
    const std::string& GetNodeId() const override { return nodeId_; }
    const std::string& GetHost() const override { return host_; }
    const std::string& GetPath() const override { return path_; }
    std::uint32_t GetWeight() const override { return weight_; }
    void ResetWeight() override { weight_ = 1; }
    std::shared_ptr<NodeStatistics> GetStatistics() const override { return statistics_; }
    std::shared_ptr<NodeManifest> CloneWithStatistics(std::shared_ptr<NodeStatistics> statistics) const override;

private:
    std::string nodeId_;
    std::string host_;
    std::string path_;
    std::uint32_t weight_;
    std::shared_ptr<NodeStatistics> statistics_;
};

using NodeManifestList = std::vector<std::shared_ptr<NodeManifest>>;

class NodeListManifest : public InputManifest {
public:
    virtual const NodeManifestList& GetNodes() const = 0;
};

// The "ArrayOfNodeInfo" document. Nodes of weight 0 are dropped unless every
// weight is 0, in which case all weigh 1.
class StandardNodeListManifest : public NodeListManifest {
public:
    void Read(const boost::property_tree::ptree& tree) override;
    const NodeManifestList& GetNodes() const override { return nodes_; }

private:
    NodeManifestList nodes_;
};

// host, IPv4 address or [IPv6] address, with an optional :port.
bool IsPlainAuthority(const std::string& authority);

// Where a server is reached: a plain authority (http, as it always was), or
// one after "http://" or "https://". Any other scheme, or anything after the
// authority (path, query, user name), gives nothing.
struct ServerAddress {
    std::string scheme;     // "http" or "https", lower case
    std::string authority;  // as IsPlainAuthority accepts it
};
std::optional<ServerAddress> ParseServerAddress(const std::string& text);

}  // namespace tvl
