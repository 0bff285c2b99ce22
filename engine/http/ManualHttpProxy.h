#pragma once

// A fixed proxy list with a bypass list, in the form a user's settings hold them:
// entries separated by ";" or spaces, "http=host:port" for HTTP, "host:port" for
// any scheme, bypass entries with "*" wildcards. Immutable; any thread.

#include <string>

#include "engine/http/HttpProxy.h"

namespace tvl {

class ManualHttpProxy : public HttpProxy {
  public:
    ManualHttpProxy(std::string proxyList, std::string bypassList);

    std::string GetProxy(const std::string& url) override;

    const std::string& GetProxyList() const { return proxyList_; }
    const std::string& GetBypassList() const { return bypassList_; }

  private:
    std::string proxyList_;
    std::string bypassList_;
};

// The proxy the lists prescribe for `url`: the first "http=" entry (for http and
// https URLs alike), else the first generic entry; empty when there is none, when
// the entry is ":" or "::", or when the URL's host matches the bypass list.
std::string SelectProxy(const std::string& url, const std::string& proxyList, const std::string& bypassList);

// Whether `host` matches an entry of the bypass list. Each entry is a regular
// expression over the whole host in which "." is literal and "*" matches any
// text; other regular-expression characters keep their meaning. An entry that is
// not a valid expression matches nothing.
bool MatchesBypassList(const std::string& host, const std::string& bypassList);

}  // namespace tvl
