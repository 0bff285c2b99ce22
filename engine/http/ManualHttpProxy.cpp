#include "engine/http/ManualHttpProxy.h"

#include <Poco/Exception.h>
#include <Poco/URI.h>

#include <boost/algorithm/string/replace.hpp>
#include <boost/xpressive/xpressive_dynamic.hpp>
#include <optional>
#include <utility>
#include <vector>

namespace tvl {

namespace {

std::vector<std::string> SplitEntries(const std::string& list) {
    std::vector<std::string> entries;
    std::string current;
    for (char c : list) {
        if (c == ';' || c == ' ') {
            if (!current.empty()) {
                entries.push_back(std::move(current));
                current.clear();
            }
        } else {
            current += c;
        }
    }
    if (!current.empty()) {
        entries.push_back(std::move(current));
    }
    return entries;
}

std::string HostOf(const std::string& url) {
    try {
        return Poco::URI(url).getHost();
    } catch (const Poco::Exception&) {
        // An unparseable URL fails later in the request itself; here it simply
        // matches no host-specific entry.
        return std::string();
    }
}

}  // namespace

ManualHttpProxy::ManualHttpProxy(std::string proxyList, std::string bypassList)
    : proxyList_(std::move(proxyList)), bypassList_(std::move(bypassList)) {}

std::string ManualHttpProxy::GetProxy(const std::string& url) {
    return SelectProxy(url, proxyList_, bypassList_);
}

std::string SelectProxy(const std::string& url, const std::string& proxyList, const std::string& bypassList) {
    const std::string host = HostOf(url);
    const std::vector<std::string> tokens = SplitEntries(proxyList);
    if (tokens.empty()) {
        return std::string();
    }
    std::optional<std::string> httpProxy;
    std::optional<std::string> genericProxy;
    for (const std::string& token : tokens) {
        if (!httpProxy && token.compare(0, 5, "http=") == 0) {
            httpProxy = token.substr(5);
        } else if (!genericProxy && token.find('=') == std::string::npos) {
            genericProxy = token;
        }
    }
    const std::string candidate = httpProxy ? *httpProxy : genericProxy.value_or(std::string());
    if (candidate == ":" || candidate == "::" || MatchesBypassList(host, bypassList)) {
        return std::string();
    }
    return candidate;
}

bool MatchesBypassList(const std::string& host, const std::string& bypassList) {
    namespace xp = boost::xpressive;
    for (std::string entry : SplitEntries(bypassList)) {
        boost::algorithm::replace_all(entry, ".", "\\.");
        boost::algorithm::replace_all(entry, "*", ".*");
        try {
            const xp::sregex expression = xp::sregex::compile("^" + entry + "$");
            if (xp::regex_match(host, expression)) {
                return true;
            }
        } catch (const xp::regex_error&) {
            // A malformed entry must not take the whole request down.
        }
    }
    return false;
}

}  // namespace tvl
