#include "engine/http/EnvironmentHttpProxyFactory.h"

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>
#include <boost/algorithm/string/trim.hpp>
#include <cstdlib>
#include <vector>

#include "engine/http/ManualHttpProxy.h"

namespace tvl {

namespace {

// The lower-case form first, as curl reads it; an empty value counts as unset.
std::string ReadVariable(const char* lower, const char* upper) {
    for (const char* name : {lower, upper}) {
        const char* value = std::getenv(name);
        if (value != nullptr) {
            std::string text = boost::algorithm::trim_copy(std::string(value));
            if (!text.empty()) {
                return text;
            }
        }
    }
    return std::string();
}

bool IsHostCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_' || c == ':' ||
           c == '*';
}

}  // namespace

std::shared_ptr<HttpProxy> EnvironmentHttpProxyFactory::Create() {
    std::string proxy = ReadVariable("http_proxy", "HTTP_PROXY");
    if (proxy.empty()) {
        proxy = ReadVariable("all_proxy", "ALL_PROXY");
    }
    // The list form splits at blanks and ";", which no usable proxy address holds.
    if (proxy.empty() || proxy.find_first_of("; \t") != std::string::npos) {
        return std::make_shared<EmptyHttpProxy>();
    }
    // The "http=" form applies to every URL and keeps an "=" inside the value intact.
    return std::make_shared<ManualHttpProxy>("http=" + proxy,
                                             BypassListFromNoProxy(ReadVariable("no_proxy", "NO_PROXY")));
}

std::string EnvironmentHttpProxyFactory::BypassListFromNoProxy(const std::string& noProxy) {
    std::vector<std::string> entries;
    boost::algorithm::split(entries, noProxy, boost::algorithm::is_any_of(", \t"),
                            boost::algorithm::token_compress_on);
    std::string bypass;
    auto append = [&bypass](const std::string& entry) {
        if (!bypass.empty()) {
            bypass += ';';
        }
        bypass += entry;
    };
    for (std::string entry : entries) {
        boost::algorithm::to_lower(entry);
        if (entry.size() > 2 && entry.front() == '[' && entry.back() == ']') {
            entry = entry.substr(1, entry.size() - 2);
        }
        if (entry == "*") {
            append("*");
            continue;
        }
        while (!entry.empty() && entry.front() == '.') {
            entry.erase(0, 1);
        }
        bool usable = !entry.empty();
        for (char c : entry) {
            // "*" in the middle of a name is no wildcard for curl.
            usable = usable && IsHostCharacter(c) && c != '*';
        }
        if (!usable) {
            continue;
        }
        append(entry);
        append("*." + entry);
    }
    return bypass;
}

}  // namespace tvl
