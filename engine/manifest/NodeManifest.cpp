#include "engine/manifest/NodeManifest.h"

#include <boost/property_tree/ptree.hpp>
#include <limits>

#include "engine/manifest/ManifestExceptions.h"
#include "engine/manifest/ManifestValues.h"
#include "engine/optimizer/NodeStatistics.h"

namespace tvl {
namespace {

bool IsHostCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_';
}

bool IsPort(const std::string& text) {
    return !text.empty() && text.size() <= 5 && ParseDecimal(text, 65535).has_value() &&
           text.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

bool IsPlainAuthority(const std::string& authority) {
    if (authority.empty()) {
        return false;
    }
    std::string host = authority;
    std::string port;
    if (authority.front() == '[') {
        const std::size_t close = authority.find(']');
        if (close == std::string::npos || close == 1) {
            return false;
        }
        const std::string address = authority.substr(1, close - 1);
        if (address.find_first_not_of("0123456789abcdefABCDEF:.") != std::string::npos) {
            return false;
        }
        const std::string rest = authority.substr(close + 1);
        if (rest.empty()) {
            return true;
        }
        return rest.front() == ':' && IsPort(rest.substr(1));
    }
    const std::size_t colon = authority.find(':');
    if (colon != std::string::npos) {
        host = authority.substr(0, colon);
        port = authority.substr(colon + 1);
        if (!IsPort(port)) {
            return false;
        }
    }
    if (host.empty()) {
        return false;
    }
    for (char c : host) {
        if (!IsHostCharacter(c)) {
            return false;
        }
    }
    return true;
}

std::optional<ServerAddress> ParseServerAddress(const std::string& text) {
    ServerAddress address{"http", text};
    const std::size_t separator = text.find("://");
    if (separator != std::string::npos) {
        std::string scheme = text.substr(0, separator);
        for (char& c : scheme) {
            if (c >= 'A' && c <= 'Z') {
                c = static_cast<char>(c - 'A' + 'a');
            }
        }
        if (scheme != "http" && scheme != "https") {
            return std::nullopt;
        }
        address.scheme = std::move(scheme);
        address.authority = text.substr(separator + 3);
    }
    // The plain form refuses "/", "?", "#" and "@", so nothing can follow the
    // authority and no user name can ride along.
    if (!IsPlainAuthority(address.authority)) {
        return std::nullopt;
    }
    return address;
}

StandardNodeManifest::StandardNodeManifest() : path_("/packages/"), weight_(1) {}

void StandardNodeManifest::Read(const boost::property_tree::ptree& tree) {
    nodeId_ = RequiredString(tree, "NodeId");
    host_ = RequiredString(tree, "Host");
    path_ = OptionalString(tree, "Path", "/packages/");
    weight_ = static_cast<std::uint32_t>(
        ParseDecimal(OptionalString(tree, "Weight", "1"), std::numeric_limits<std::uint32_t>::max()).value_or(1));
    if (path_.empty() || path_.front() != '/') {
        path_.insert(path_.begin(), '/');
    }
    if (path_.back() != '/') {
        path_.push_back('/');
    }
    if (nodeId_.empty() || !ParseServerAddress(host_)) {
        throw ManifestParseException();
    }
    statistics_ = std::make_shared<NodeStatistics>();
}

void StandardNodeManifest::Write(boost::property_tree::ptree& tree) const {
    WithManifestParseErrors([&] {
        tree.put("Node", host_);
        tree.put("Path", path_);
        tree.put("Weight", weight_);
        if (statistics_) {
            statistics_->Write(tree);
        }
    });
}

std::shared_ptr<NodeManifest> StandardNodeManifest::CloneWithStatistics(
    std::shared_ptr<NodeStatistics> statistics) const {
    auto clone = std::make_shared<StandardNodeManifest>();
    clone->nodeId_ = nodeId_;
    clone->host_ = host_;
    clone->path_ = path_;
    clone->weight_ = weight_;
    clone->statistics_ = std::move(statistics);
    return clone;
}

void StandardNodeListManifest::Read(const boost::property_tree::ptree& tree) {
    nodes_.clear();
    WithManifestParseErrors([&] {
        const auto array = tree.get_child_optional("ArrayOfNodeInfo");
        if (!array) {
            throw ManifestParseException();
        }
        for (const auto& child : *array) {
            if (child.first != "NodeInfo") {
                continue;
            }
            auto node = std::make_shared<StandardNodeManifest>();
            node->Read(child.second);
            nodes_.push_back(std::move(node));
        }
    });
    if (nodes_.empty()) {
        throw ManifestParseException();
    }

    std::uint32_t sum = 0;
    for (const auto& node : nodes_) {
        sum += node->GetWeight();  // wraps, as a 32-bit sum does
    }
    if (sum != 0) {
        NodeManifestList weighted;
        for (auto& node : nodes_) {
            if (node->GetWeight() != 0) {
                weighted.push_back(std::move(node));
            }
        }
        nodes_ = std::move(weighted);
    } else {
        for (auto& node : nodes_) {
            node->ResetWeight();
        }
    }
}

}  // namespace tvl
