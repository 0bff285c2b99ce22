#pragma once

// Pointing the engine and talvane-get at the in-process test CDN, and the
// package description the end-to-end suites publish on it.

#include <string>
#include <vector>

#include "engine/service/TransferSettings.h"
#include "tools/talvane-cdn/CdnServer.h"
#include "tools/talvane-pack/PackageBuilder.h"

namespace tvl::test {

// Settings whose manifest host, geolocation and analytics endpoints are the
// CDN's, with logging off; the rest keeps the engine's defaults.
TransferSettings CdnTransferSettings(const cdn::CdnServer& server);

// talvane-get's options naming the same endpoints, followed by `more`.
std::vector<std::string> CdnGetArguments(const cdn::CdnServer& server, const std::vector<std::string>& more = {});

// "host:port" of each of the CDN's download nodes, in order.
std::vector<std::string> CdnNodeAuthorities(const cdn::CdnServer& server);

// Package "pkg" of partner "partner" at `version`, packed from `input` into the
// content root `output` in 64 KiB chunks and published as the current version.
pack::PackageOptions CurrentPackageOptions(const std::string& input, const std::string& output,
                                           const std::string& version);

}  // namespace tvl::test
