#include "tools/talvane-get/TalvaneGet.h"

#include <unistd.h>

#include <algorithm>
#include <boost/program_options/value_semantic.hpp>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <chrono>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <thread>

#include "app/TalvaneUpdaterMessages.h"
#include "engine/file/UserDirectories.h"
#include "engine/manifest/ManifestValues.h"
#include "engine/security/PublisherKey.h"
#include "engine/service/ManifestStoreImpl.h"
#include "engine/service/TransferService.h"
#include "engine/service/TransferSettings.h"
#include "engine/service/TransferState.h"
#include "engine/service/TransferStatus.h"
#include "engine/service/UnsetValue.h"
#include "engine/workflow/TransferError.h"
#include "resources/Deployment.h"
#include "tools/common/CommandLine.h"
#include "tools/talvane-get/JsonRecord.h"

namespace tvl::get {

namespace {

namespace fs = std::filesystem;
namespace po = boost::program_options;
using Clock = std::chrono::steady_clock;
using cli::UsageError;

// The names scripts read beside the codes; a code from outside the tables is
// "Unknown".
const char* StateName(std::uint8_t code) {
    static const char* const names[] = {"None",        "Initializing", "InitializingPaused",
                                        "Initialized", "Transferring", "TransferringPaused",
                                        "Suspended",   "Completed",    "Canceled"};
    return code < std::size(names) ? names[code] : "Unknown";
}

const char* ErrorName(std::uint8_t code) {
    static const char* const names[] = {
        "None",         "ContentError",    "ConnectionError",   "OutOfMemory",
        "DiskFull",     "FileAccessError", "VerificationError", "FileWriteError",
        "RequestError", "InternalError",   "Geofenced",         "AuthenticityError"};
    return code < std::size(names) ? names[code] : "Unknown";
}

bool Is(const TransferStatus& status, TransferState state) {
    return status.state == static_cast<std::uint8_t>(state);
}

std::string Shown(const std::string& value) {
    return IsUnspecified(value) ? std::string() : value;
}

std::string Megabytes(std::uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.1f MB", static_cast<double>(bytes) / 1e6);
    return text;
}

std::string Remaining(std::int32_t seconds) {
    if (seconds < 0) {
        return "--:--";
    }
    char text[32];
    std::snprintf(text, sizeof(text), "%d:%02d", seconds / 60, seconds % 60);
    return text;
}

class ProgressPrinter {
  public:
    ProgressPrinter(std::ostream& err, bool quiet)
        : err_(err), quiet_(quiet), terminal_(isatty(STDERR_FILENO) == 1), lastLine_(Clock::now()) {}

    void Show(const TransferStatus& status) {
        if (quiet_ || status.state != static_cast<std::uint8_t>(TransferState::Transferring)) {
            return;
        }
        const double fraction = status.bytesTotal == 0 ? 0.0
                                                       : static_cast<double>(status.bytesDone) /
                                                             static_cast<double>(status.bytesTotal);
        const std::string figures = Megabytes(status.bytesDone) + " of " + Megabytes(status.bytesTotal) +
                                    ", " + Megabytes(status.bytesPerSecond) + "/s, " +
                                    Remaining(status.secondsRemaining) + " left";
        if (terminal_) {
            if (Clock::now() - lastDraw_ < std::chrono::milliseconds(100)) {
                return;
            }
            lastDraw_ = Clock::now();
            const int width = 30;
            const int filled = static_cast<int>(fraction * width);
            err_ << "\r[" << std::string(filled, '#') << std::string(width - filled, '.') << "] "
                 << static_cast<int>(fraction * 100) << "% " << figures << "   " << std::flush;
            drawn_ = true;
        } else if (Clock::now() - lastLine_ >= std::chrono::seconds(5)) {
            err_ << static_cast<int>(fraction * 100) << "% " << figures << "\n";
            lastLine_ = Clock::now();
        }
    }

    void Finish() {
        if (drawn_) {
            err_ << "\n";
            drawn_ = false;
        }
    }

  private:
    std::ostream& err_;
    const bool quiet_;
    const bool terminal_;
    Clock::time_point lastLine_;
    Clock::time_point lastDraw_{};
    bool drawn_ = false;
};

TransferSettings MakeSettings(const GetOptions& options) {
    TransferSettings settings;
    settings.manifestHost = options.manifestHost;
    settings.publisherKeys = options.publisherKeys;
    if (!options.geolocationUrl.empty()) {
        settings.geolocationUrl = options.geolocationUrl;
    }
    if (!options.eventsUrl.empty()) {
        settings.analyticsEventsUrl = options.eventsUrl;
    }
    if (!options.transfersUrl.empty()) {
        settings.analyticsTransfersUrl = options.transfersUrl;
    }
    settings.logLevel = options.logLevel;
    if (options.workThreads > 0) {
        settings.workThreads = options.workThreads;
        settings.maxRunningWorks = static_cast<std::uint32_t>(options.workThreads);
    }
    if (options.parallelWorks > 0) {
        settings.parallelWorks = options.parallelWorks;
    }
    if (options.requestSlots >= 0) {
        settings.requestSlots = static_cast<std::uint32_t>(options.requestSlots);
    }
    if (options.nodeChoice == "gambling") {
        settings.nodeChoice = TransferSettings::NodeChoice::Gambling;
    } else if (options.nodeChoice == "finish-time") {
        settings.nodeChoice = TransferSettings::NodeChoice::EarliestFinish;
    }
    return settings;
}

cli::CommandLine GetCommandLine() {
    cli::CommandLine commandLine(
        "talvane-get",
        {"--partner ID --package ID --dest DIR [options]", "--restore TRANSFER_ID [--dest DIR] [options]",
         "--list [--json]", "--cancel TRANSFER_ID [--delete-files] [options]"},
        "Downloads one package version through the transfer engine into a folder, continues a stored\n"
        "transfer, lists the stored transfers or cancels one.");
    const auto text = [](const char* name) { return po::value<std::string>()->value_name(name); };
    commandLine.Add()  //
        ("manifest-host", text("HOST"),
         "where manifests/ and nodes/ are fetched: HOST[:PORT], https:// before it for https (default: "
         "the deployment's)")  //
        ("partner", text("ID"), "the partner id")                                                        //
        ("package", text("ID"), "the package id")                                                        //
        ("package-version", text("ID"), "the package version to fetch (default: the current one)")       //
        ("dest", text("DIR"), "the destination folder")                                                  //
        ("geolocation-url", text("URL"), "the geolocation service (default: the deployment's)")          //
        ("events-url", text("URL"), "the analytics events endpoint (default: the deployment's)")         //
        ("transfers-url", text("URL"), "the analytics transfers endpoint (default: the deployment's)")   //
        ("log-level", text("N"), "the work-log mask, any 32-bit integer (default -9)")                   //
        ("work-threads", text("N"), "the engine's worker threads, 1 to 256")                             //
        ("parallel-works", text("N"), "files, and chunks per file, transferred at once, 1 to 4096")      //
        ("request-slots", text("N"), "chunk requests in flight on threads of their own, 0 to 256")       //
        ("node-choice", text("CHOICE"), "how requests choose nodes: finish-time (default) or gambling")  //
        ("retries", text("N"), "how often a retryable error is retried, 0 to 1000 (default 3)")          //
        ("restore", text("TRANSFER_ID"), "continue the stored transfer")                                 //
        ("list", po::bool_switch(), "list the stored transfers")                                         //
        ("cancel", text("TRANSFER_ID"), "end the stored transfer; it cannot be restored afterwards")     //
        ("delete-files", po::bool_switch(), "with --cancel: also delete the transfer's files")           //
        ("publisher-key", po::value<std::vector<std::string>>()->value_name("FILE"),
         "require packages signed by this public key (repeatable; default: the deployment's keys for its "
         "own manifest host)")  //
        ("json", po::bool_switch(),
         "print the outcome, or each stored transfer, as one JSON object a line")  //
        ("quiet", po::bool_switch(), "no progress, no retry notes and no summary");
    return commandLine;
}

GetOptions GetOptionsFrom(const po::variables_map& values) {
    using cli::Text;
    GetOptions options;
    options.manifestHost = Text(values, "manifest-host");
    options.partnerId = Text(values, "partner");
    options.packageId = Text(values, "package");
    options.versionId = Text(values, "package-version");
    options.destination = Text(values, "dest");
    options.geolocationUrl = Text(values, "geolocation-url");
    options.eventsUrl = Text(values, "events-url");
    options.transfersUrl = Text(values, "transfers-url");
    cli::SetNumber(values, "log-level", INT32_MIN, INT32_MAX, options.logLevel);
    cli::SetNumber(values, "work-threads", 1, 256, options.workThreads);
    cli::SetNumber(values, "parallel-works", 1, 4096, options.parallelWorks);
    cli::SetNumber(values, "request-slots", 0, 256, options.requestSlots);
    if (values.count("node-choice") != 0) {
        options.nodeChoice = Text(values, "node-choice");
        if (options.nodeChoice != "finish-time" && options.nodeChoice != "gambling") {
            throw UsageError("--node-choice takes finish-time or gambling, not '" + options.nodeChoice + "'");
        }
    }
    cli::SetNumber(values, "retries", 0, 1000, options.retries);
    options.restoreId = Text(values, "restore");
    options.list = values["list"].as<bool>();
    options.cancelId = Text(values, "cancel");
    options.deleteFiles = values["delete-files"].as<bool>();
    options.json = values["json"].as<bool>();
    options.quiet = values["quiet"].as<bool>();

    const int modes = (values.count("restore") != 0) + options.list + (values.count("cancel") != 0);
    if (modes > 1) {
        throw UsageError("--restore, --list and --cancel exclude each other");
    }
    for (const auto& [option, value] :
         {std::pair<const char*, const std::string*>{"--restore", &options.restoreId},
          {"--cancel", &options.cancelId}}) {
        if (values.count(option + 2) != 0 && value->empty()) {
            throw UsageError(std::string(option) + " needs a transfer id");
        }
    }
    if (options.deleteFiles && options.cancelId.empty()) {
        throw UsageError("--delete-files goes with --cancel");
    }
    if (modes == 0) {
        if (options.partnerId.empty() || options.packageId.empty()) {
            throw UsageError(std::string(options.partnerId.empty() ? "--partner" : "--package") +
                             " is required (or --restore, --list, --cancel)");
        }
        if (options.destination.empty()) {
            throw UsageError("--dest is required");
        }
        // The ids name folders on the servers: one that could leave its
        // folder is the user's mistake, told as such before any request.
        for (const auto& [option, id] :
             {std::pair<const char*, const std::string*>{"--partner", &options.partnerId},
              {"--package", &options.packageId},
              {"--package-version", &options.versionId}}) {
            if (!id->empty() && !IsPathSafeId(*id)) {
                // The value itself is left out: it may hold control characters.
                throw UsageError(std::string(option) +
                                 " cannot name a folder on the servers: '.', '..', '/', '\\', '%' and control "
                                 "characters are not allowed");
            }
        }
    }

    std::string keys;
    if (values.count("publisher-key") != 0) {
        for (const std::string& path : values["publisher-key"].as<std::vector<std::string>>()) {
            try {
                keys += (keys.empty() ? "" : " ") + PublicKey::FromFile(path).Text();
            } catch (const KeyError& e) {
                throw UsageError(std::string("--publisher-key: ") + e.what());
            }
        }
    }
    if (!keys.empty()) {
        options.publisherKeys = keys;
    } else if (options.manifestHost.empty()) {
        // The deployment's own manifest host comes with the deployment's keys;
        // another host is another publisher's, unsigned unless keys are named.
        options.publisherKeys = CompiledDeployment().publisherKeys;
    }
    if (options.manifestHost.empty()) {
        options.manifestHost = TransferSettings().manifestHost;
    }
    return options;
}

JsonRecord& AddStateAndError(JsonRecord& record, const TransferStatus& status) {
    return record.String("state", StateName(status.state))
        .Unsigned("stateCode", status.state)
        .String("error", ErrorName(status.error))
        .Unsigned("errorCode", status.error);
}

// Nodes of the transfer's node list, and how many of them served bytes in
// this run (the optimizer's figures are kept per process).
struct NodeUse {
    std::size_t listed = 0;
    std::size_t served = 0;
};

NodeUse NodesUsed(TransferService& service, const std::string& id) {
    NodeUse use;
    boost::property_tree::ptree nodes;
    std::istringstream text(service.GetNodeStatisticsJson(id));
    try {
        boost::property_tree::read_json(text, nodes);
    } catch (const boost::property_tree::json_parser_error&) {
        return use;
    }
    for (const auto& node : nodes) {
        ++use.listed;
        if (node.second.get<std::uint64_t>("Bytes", 0) > 0) {
            ++use.served;
        }
    }
    return use;
}

void PrintOutcomeJson(std::ostream& out, const TransferStatus& status, double elapsedSeconds,
                      const NodeUse& nodes) {
    JsonRecord record;
    record.String("transferId", status.transferId)
        .String("partnerId", Shown(status.partnerId))
        .String("packageId", Shown(status.packageId))
        .String("versionId", Shown(status.versionId))
        .String("destination", Shown(status.destPath));
    AddStateAndError(record, status)
        .Boolean("retryable", status.retryable)
        .Unsigned("bytesDownloaded", status.bytesDownloaded)
        .Unsigned("bytesVerified", status.bytesVerified)
        .Unsigned("bytesTotal", status.bytesTotal)
        .Decimal("elapsed", elapsedSeconds, 3)
        .Unsigned("nodesUsed", nodes.served)
        .Unsigned("nodesListed", nodes.listed)
        .String("runPath", status.runPath);
    out << record.Text() << "\n" << std::flush;
}

// "2.5 MB (2500028 bytes, 2500028 downloaded) in 0.20 s, 12.2 MB/s, from 2 of 2 nodes"
std::string Summary(const TransferStatus& status, double elapsedSeconds, const NodeUse& nodes) {
    const double rate =
        elapsedSeconds > 0 ? static_cast<double>(status.bytesDownloaded) / elapsedSeconds : 0.0;
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.2f s", elapsedSeconds);
    return Megabytes(status.bytesTotal) + " (" + std::to_string(status.bytesTotal) + " bytes, " +
           std::to_string(status.bytesDownloaded) + " downloaded) in " + seconds + ", " +
           Megabytes(static_cast<std::uint64_t>(rate)) + "/s, from " + std::to_string(nodes.served) + " of " +
           std::to_string(nodes.listed) + " nodes";
}

// The ids of the stored transfers, oldest first. The folder and the file
// names are the engine store's own; reading each one is left to the engine.
std::vector<std::string> StoredTransferIds(const std::string& transfersFolder) {
    JsonTempFileManifestStoreImpl names(transfersFolder, nullptr);
    std::vector<std::pair<fs::file_time_type, std::string>> found;
    std::error_code error;
    for (fs::directory_iterator it(ResolveUserPath(transfersFolder), error), end; !error && it != end;
         it.increment(error)) {
        const std::string name = it->path().filename().string();
        const std::string id = name.substr(0, 32);
        if (IsWellFormedTransferId(id) && names.GetFileName(id) == name && it->is_regular_file(error)) {
            found.emplace_back(it->last_write_time(error), id);
        }
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> ids;
    for (const auto& entry : found) {
        ids.push_back(entry.second);
    }
    return ids;
}

int RunList(const GetOptions& options, std::ostream& out, std::ostream& err) {
    const TransferSettings settings = MakeSettings(options);
    const std::vector<std::string> ids = StoredTransferIds(settings.transfersFolder);
    TransferService service(settings);
    std::size_t listed = 0;
    for (const std::string& id : ids) {
        const TransferStatus status = service.GetTransferStatus(id);
        if (Is(status, TransferState::None)) {
            continue;  // a file the engine cannot read is no transfer it would restore
        }
        ++listed;
        // The engine counts bytes once it has read the package manifest; a
        // stored transfer is read back Suspended, before that.
        const bool counted = status.bytesTotal > 0;
        if (options.json) {
            JsonRecord record;
            record.String("transferId", status.transferId)
                .String("partnerId", Shown(status.partnerId))
                .String("packageId", Shown(status.packageId))
                .String("versionId", Shown(status.versionId));
            AddStateAndError(record, status);
            if (counted) {
                record.Unsigned("bytesDone", status.bytesDone).Unsigned("bytesTotal", status.bytesTotal);
            } else {
                record.Null("bytesDone").Null("bytesTotal");
            }
            record.String("destination", Shown(status.destPath));
            out << record.Text() << "\n";
            continue;
        }
        if (listed == 1) {
            out << "TRANSFER                          STATE               DONE/TOTAL       PACKAGE  "
                   "DESTINATION\n";
        }
        std::string state = StateName(status.state);
        if (status.error != 0) {
            state += std::string("/") + ErrorName(status.error);
        }
        const std::string bytes =
            counted ? Megabytes(status.bytesDone) + "/" + Megabytes(status.bytesTotal) : "-";
        char line[128];
        std::snprintf(line, sizeof line, "%-32s  %-18s  %-15s  ", status.transferId.c_str(), state.c_str(),
                      bytes.c_str());
        out << line << Shown(status.partnerId) << "/" << Shown(status.packageId) << " "
            << Shown(status.versionId) << "  " << Shown(status.destPath) << "\n";
    }
    out << std::flush;
    if (listed == 0 && !options.quiet && !options.json) {
        err << "talvane-get: no stored transfers\n";
    }
    return 0;
}

int RunCancel(const GetOptions& options, std::ostream& out, std::ostream& err,
              const std::atomic<int>& interruption) {
    const std::string& id = options.cancelId;
    TransferService service(MakeSettings(options));
    TransferStatus status = service.GetTransferStatus(id);
    if (Is(status, TransferState::None)) {
        err << "talvane-get: no such transfer: " << id << "\n";
        return 1;
    }
    bool wentThrough = false;  // every file of the package taken up by the transfer's works
    if (Is(status, TransferState::Suspended) && status.error == 0) {
        // A suspended transfer refuses to be canceled; restored, it can be.
        status = service.RestoreTransfer(id);
        // The engine deletes only the files its works have taken up, and a
        // transfer of an earlier run has taken up none in this one: with
        // --delete-files it goes through the whole package first, verifying
        // what is on disk and fetching what is missing.
        unsigned retriesLeft = options.retries;
        while (options.deleteFiles && interruption.load() == 0) {
            status = service.GetTransferStatus(id);
            if (status.error != 0) {
                if (!status.retryable || retriesLeft == 0) {
                    break;
                }
                --retriesLeft;
                std::this_thread::sleep_for(std::chrono::milliseconds(500));
                service.RetryTransfer(id);
                continue;
            }
            if (Is(status, TransferState::Initialized)) {
                service.StartTransfer(id);
                continue;
            }
            if (status.IsFinal()) {
                wentThrough = Is(status, TransferState::Completed);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    // The files of a transfer that has just completed are registered while
    // its works are torn down, after the state changed: the cancel must
    // come after that to find them all.
    if (wentThrough && !service.WaitForReleasedWorks(id, std::chrono::seconds(30))) {
        err << "talvane-get: the transfer's works did not end in time\n";
    }
    // A completed transfer refuses the cancel as an operation, but its
    // files are deleted and its stored file removed all the same.
    status = service.CancelTransfer(id, options.deleteFiles);
    if (options.json) {
        PrintOutcomeJson(out, status, 0.0, NodeUse{});
    }
    if (!Is(status, TransferState::Canceled) && !(wentThrough && Is(status, TransferState::Completed))) {
        err << "talvane-get: " << id << " cannot be canceled in state " << StateName(status.state) << "\n";
        return 1;
    }
    if (options.deleteFiles && !wentThrough) {
        err << "talvane-get: canceled " << id
            << ", but not all its files were deleted: the transfer could not "
            << "go through its package ("
            << (interruption.load() != 0 ? "interrupted" : ErrorName(status.error)) << ")\n";
        return 1;
    }
    if (!options.quiet) {
        err << "talvane-get: canceled " << id << (options.deleteFiles ? ", files deleted" : "") << "\n";
    }
    return 0;
}

int RunDownload(const GetOptions& options, std::ostream& out, std::ostream& err,
                const std::atomic<int>& interruption);

}  // namespace

GetOptions ParseGetArguments(const std::vector<std::string>& arguments) {
    return GetOptionsFrom(GetCommandLine().Parse(arguments));
}

int RunGetCommandLine(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err,
                      const std::function<int(const GetOptions&)>& body) {
    return GetCommandLine().Run(
        arguments, out, err, [&](const po::variables_map& values) { return body(GetOptionsFrom(values)); });
}

int RunGet(const GetOptions& options, std::ostream& out, std::ostream& err,
           const std::atomic<int>& interruption) {
    if (options.list) {
        return RunList(options, out, err);
    }
    if (!options.cancelId.empty()) {
        return RunCancel(options, out, err, interruption);
    }
    return RunDownload(options, out, err, interruption);
}

namespace {

int RunDownload(const GetOptions& options, std::ostream& out, std::ostream& err,
                const std::atomic<int>& interruption) {
    const auto started = Clock::now();
    const TalvaneUpdaterMessages messages;
    TransferService service(MakeSettings(options));
    const std::string destination =
        options.destination.empty() ? Unspecified() : std::filesystem::absolute(options.destination).string();

    TransferStatus status;
    if (!options.restoreId.empty()) {
        status = service.GetTransferStatus(options.restoreId);
        if (status.state == static_cast<std::uint8_t>(TransferState::Suspended)) {
            status = service.RestoreTransfer(options.restoreId);
        }
    } else if (options.versionId.empty()) {
        status = service.CreateTransfer(options.partnerId, options.packageId);
    } else {
        status = service.CreateTransfer(options.partnerId, options.packageId, options.versionId);
    }
    const std::string id = status.transferId;
    if (id.empty()) {
        err << "talvane-get: no such transfer" << (options.restoreId.empty() ? "" : ": " + options.restoreId)
            << "\n";
        return 1;
    }

    ProgressPrinter progress(err, options.quiet);
    unsigned retriesLeft = options.retries;
    bool startAsked = false;
    while (true) {
        if (const int signal = interruption.load(); signal != 0) {
            progress.Finish();
            // The counters as they were when interrupted: a suspended transfer
            // no longer reports them.
            const TransferStatus before = service.GetTransferStatus(id);
            const NodeUse nodes = NodesUsed(service, id);
            status = service.SuspendTransfer(id);
            if (status.state == static_cast<std::uint8_t>(TransferState::Suspended)) {
                err << "talvane-get: interrupted; continue with --restore " << id << "\n";
            } else {
                // Interrupted before it was initialized: nothing was stored to restore.
                err << "talvane-get: interrupted before the transfer could be stored; run the same command "
                       "again\n";
            }
            if (options.json) {
                TransferStatus shown = before;
                shown.state = status.state;
                shown.error = status.error;
                PrintOutcomeJson(out, shown, std::chrono::duration<double>(Clock::now() - started).count(),
                                 nodes);
            }
            return 128 + signal;
        }
        status = service.GetTransferStatus(id);
        const auto state = static_cast<TransferState>(status.state);
        if (status.error != 0) {
            if (status.retryable && retriesLeft > 0) {
                --retriesLeft;
                if (!options.quiet) {
                    progress.Finish();
                    err << "talvane-get: error " << static_cast<unsigned>(status.error) << ", retrying\n";
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(500));
                service.RetryTransfer(id);
                continue;
            }
            break;
        }
        if (state == TransferState::Initialized && !startAsked) {
            status = service.StartTransfer(id, destination);
            startAsked = true;
            if (static_cast<TransferState>(status.state) == TransferState::Initialized) {
                err << "talvane-get: cannot transfer into " << destination << "\n";
                return 1;
            }
            continue;
        }
        if (state == TransferState::Suspended && !options.restoreId.empty()) {
            service.RestoreTransfer(id);
        } else if (status.IsFinal()) {
            break;
        }
        progress.Show(status);
        // Asking for the status is cheap; a short pause keeps the end of a
        // transfer (and the start after initialization) from waiting on it.
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    progress.Finish();
    const double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
    const NodeUse nodes = NodesUsed(service, id);
    if (options.json) {
        PrintOutcomeJson(out, status, elapsed, nodes);
    }
    const bool completed = Is(status, TransferState::Completed) && status.error == 0;
    if (!options.quiet) {
        err << "talvane-get: " << (completed ? "completed " : "ended after ")
            << Summary(status, elapsed, nodes)
            << (status.runPath.empty() ? "" : "; run file " + status.runPath) << "\n";
    }
    if (completed) {
        return 0;
    }
    const auto code = static_cast<TransferError>(status.error);
    err << "talvane-get: transfer ended in state " << StateName(status.state) << " with error "
        << static_cast<unsigned>(status.error) << ": " << messages.GetErrorMessage(code) << "\n";
    return 1;
}

}  // namespace
}  // namespace tvl::get
