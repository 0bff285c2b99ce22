#pragma once

// The transfer engine as a command-line tool: creates a transfer (or restores
// a stored one), starts it into a folder once it is initialized, shows
// progress, retries retryable errors a bounded number of times, and reports
// the outcome; or lists the stored transfers, or cancels one. Run on one
// thread; `interruption` may be set from another thread to a signal number,
// after which the transfer is suspended so that --restore continues it.

#include <atomic>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "tools/common/UsageError.h"

namespace tvl::get {

struct GetOptions {
    std::string manifestHost;
    std::string partnerId;
    std::string packageId;
    std::string versionId;  // empty: the current version
    std::string destination;
    std::string geolocationUrl;  // empty: the deployment's
    std::string eventsUrl;
    std::string transfersUrl;
    std::int32_t logLevel = -9;
    std::int32_t workThreads = 0;     // 0: the engine's default
    std::uint32_t parallelWorks = 0;  // 0: the engine's default
    std::int64_t requestSlots = -1;   // -1: the engine's default; 0: requests on the work threads
    std::string nodeChoice;           // empty: the engine's default; "finish-time" or "gambling"
    unsigned retries = 3;
    std::string restoreId;
    bool list = false;
    std::string cancelId;
    bool deleteFiles = false;
    // The publisher keys to require: the deployment's when the manifest host
    // is the deployment's too, else those of --publisher-key files; the
    // keys' text, checked while the options are read.
    std::string publisherKeys;
    bool json = false;
    bool quiet = false;
};

// The options of a command line (without the program path); throws
// cli::UsageError for anything it cannot accept.
GetOptions ParseGetArguments(const std::vector<std::string>& arguments);

// The program's command line: answers --help and --version on `out`, reports
// usage errors on `err` (status 2), and otherwise runs `body` with the options.
int RunGetCommandLine(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err,
                      const std::function<int(const GetOptions&)>& body);

// Exit codes: 0 completed (listed, canceled), 1 transfer error, 128 + the
// signal number when interrupted (transfer suspended): 130 for SIGINT, 143
// SIGTERM, 129 SIGHUP.
int RunGet(const GetOptions& options, std::ostream& out, std::ostream& err,
           const std::atomic<int>& interruption);

}  // namespace tvl::get
