#include "tools/talvane-get/TalvaneGet.h"

#include <unistd.h>

#include <boost/property_tree/ptree.hpp>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <thread>

#include "app/TalvaneUpdaterMessages.h"
#include "engine/events/JsonText.h"
#include "engine/security/PublisherKey.h"
#include "engine/service/TransferService.h"
#include "engine/service/TransferSettings.h"
#include "engine/service/TransferState.h"
#include "engine/service/UnsetValue.h"
#include "resources/Deployment.h"

namespace tvl::get {

const char kGetUsage[] =
    "usage: talvane-get [--manifest-host HOST[:PORT]] --partner ID --package ID [--version ID] --dest DIR\n"
    "                   [--geolocation-url URL] [--events-url URL] [--transfers-url URL] [--log-level N]\n"
    "                   [--work-threads N] [--parallel-works N] [--request-slots N]\n"
    "                   [--node-choice finish-time|gambling] [--retries N] [--restore TRANSFER_ID]\n"
    "                   [--publisher-key FILE]... [--json] [--quiet]\n";

namespace {

using Clock = std::chrono::steady_clock;

std::int64_t ParseInteger(const std::string& flag, const std::string& text, std::int64_t min, std::int64_t max) {
    std::size_t used = 0;
    long long value = 0;
    try {
        value = std::stoll(text, &used);
    } catch (const std::exception&) {
        throw UsageError(flag + " takes a number: \"" + text + "\"");
    }
    if (used != text.size() || value < min || value > max) {
        throw UsageError(flag + " takes a number from " + std::to_string(min) + " to " + std::to_string(max));
    }
    return value;
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
        const double fraction =
            status.bytesTotal == 0 ? 0.0 : static_cast<double>(status.bytesDone) / static_cast<double>(status.bytesTotal);
        const std::string figures = Megabytes(status.bytesDone) + " of " + Megabytes(status.bytesTotal) + ", " +
                                    Megabytes(status.bytesPerSecond) + "/s, " + Remaining(status.secondsRemaining) +
                                    " left";
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

void PrintJson(std::ostream& out, const TransferStatus& status, double elapsedSeconds) {
    boost::property_tree::ptree tree;
    tree.put("transferId", status.transferId);
    tree.put("state", static_cast<unsigned>(status.state));
    tree.put("error", static_cast<unsigned>(status.error));
    tree.put("bytesDownloaded", status.bytesDownloaded);
    tree.put("bytesVerified", status.bytesVerified);
    tree.put("bytesTotal", status.bytesTotal);
    char elapsed[32];
    std::snprintf(elapsed, sizeof(elapsed), "%.3f", elapsedSeconds);
    tree.put("elapsed", elapsed);
    tree.put("runPath", status.runPath);
    WriteJsonText(out, tree);
}

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

}  // namespace

GetOptions ParseGetArguments(const std::vector<std::string>& arguments) {
    GetOptions options;
    std::vector<std::string> keyTexts;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& flag = arguments[i];
        const auto value = [&]() -> const std::string& {
            if (i + 1 >= arguments.size()) {
                throw UsageError(flag + " needs a value");
            }
            return arguments[++i];
        };
        if (flag == "--manifest-host") {
            options.manifestHost = value();
        } else if (flag == "--partner") {
            options.partnerId = value();
        } else if (flag == "--package") {
            options.packageId = value();
        } else if (flag == "--version") {
            options.versionId = value();
        } else if (flag == "--dest") {
            options.destination = value();
        } else if (flag == "--geolocation-url") {
            options.geolocationUrl = value();
        } else if (flag == "--events-url") {
            options.eventsUrl = value();
        } else if (flag == "--transfers-url") {
            options.transfersUrl = value();
        } else if (flag == "--log-level") {
            options.logLevel = static_cast<std::int32_t>(ParseInteger(flag, value(), INT32_MIN, INT32_MAX));
        } else if (flag == "--work-threads") {
            options.workThreads = static_cast<std::int32_t>(ParseInteger(flag, value(), 1, 256));
        } else if (flag == "--parallel-works") {
            options.parallelWorks = static_cast<std::uint32_t>(ParseInteger(flag, value(), 1, 4096));
        } else if (flag == "--request-slots") {
            options.requestSlots = ParseInteger(flag, value(), 0, 256);
        } else if (flag == "--node-choice") {
            options.nodeChoice = value();
            if (options.nodeChoice != "finish-time" && options.nodeChoice != "gambling") {
                throw UsageError("--node-choice takes finish-time or gambling, not " + options.nodeChoice);
            }
        } else if (flag == "--retries") {
            options.retries = static_cast<unsigned>(ParseInteger(flag, value(), 0, 1000));
        } else if (flag == "--restore") {
            options.restoreId = value();
        } else if (flag == "--publisher-key") {
            const std::string& path = value();
            try {
                keyTexts.push_back(PublicKey::FromFile(path).Text());
            } catch (const KeyError& e) {
                throw UsageError(std::string("--publisher-key: ") + e.what());
            }
        } else if (flag == "--json") {
            options.json = true;
        } else if (flag == "--quiet") {
            options.quiet = true;
        } else {
            throw UsageError("unknown option " + flag);
        }
    }
    if (options.restoreId.empty() && (options.partnerId.empty() || options.packageId.empty())) {
        throw UsageError("--partner and --package are required (or --restore)");
    }
    if (options.destination.empty() && options.restoreId.empty()) {
        throw UsageError("--dest is required");
    }
    if (!keyTexts.empty()) {
        for (const std::string& key : keyTexts) {
            options.publisherKeys += (options.publisherKeys.empty() ? "" : " ") + key;
        }
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

int RunGet(const GetOptions& options, std::ostream& out, std::ostream& err, const std::atomic<int>& interruption) {
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
        err << "talvane-get: no such transfer" << (options.restoreId.empty() ? "" : ": " + options.restoreId) << "\n";
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
            status = service.SuspendTransfer(id);
            if (status.state == static_cast<std::uint8_t>(TransferState::Suspended)) {
                err << "talvane-get: interrupted; continue with --restore " << id << "\n";
            } else {
                // Interrupted before it was initialized: nothing was stored to restore.
                err << "talvane-get: interrupted before the transfer could be stored; run the same command again\n";
            }
            if (options.json) {
                TransferStatus shown = before;
                shown.state = status.state;
                shown.error = status.error;
                PrintJson(out, shown, std::chrono::duration<double>(Clock::now() - started).count());
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
    if (options.json) {
        PrintJson(out, status, elapsed);
    }
    if (status.state == static_cast<std::uint8_t>(TransferState::Completed) && status.error == 0) {
        if (!options.quiet) {
            err << "talvane-get: completed " << status.bytesTotal << " bytes in " << elapsed << " s"
                << (status.runPath.empty() ? "" : ", run file " + status.runPath) << "\n";
        }
        return 0;
    }
    const auto code = static_cast<TransferError>(status.error);
    err << "talvane-get: transfer ended in state " << static_cast<unsigned>(status.state) << " with error "
        << static_cast<unsigned>(status.error) << ": " << messages.GetErrorMessage(code) << "\n";
    return 1;
}

}  // namespace tvl::get
