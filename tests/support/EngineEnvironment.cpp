#include "tests/support/EngineEnvironment.h"

#include <filesystem>

#include "tests/support/FileBytes.h"

extern char** environ;

namespace tvl::test {

namespace fs = std::filesystem;

namespace {

const char kEngineFolder[] = "Brennic Technologies/Talvane Delivery";

bool StartsWithName(const std::string& entry, const std::string& name) {
    return entry.compare(0, name.size() + 1, name + "=") == 0;
}

}  // namespace

const std::vector<std::string>& ProxyVariables() {
    static const std::vector<std::string> names = {"http_proxy", "HTTP_PROXY", "all_proxy",
                                                   "ALL_PROXY",  "no_proxy",   "NO_PROXY"};
    return names;
}

void IsolateEngineEnvironment(ScopedEnvironment& environment, const std::string& temporaryDirectory) {
    environment.Set("TMPDIR", temporaryDirectory);
    for (const std::string& name : ProxyVariables()) {
        environment.Unset(name);
    }
}

std::vector<std::string> IsolatedChildEnvironment(const std::string& temporaryDirectory) {
    std::vector<std::string> entries;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        bool dropped = StartsWithName(*entry, "TMPDIR");
        for (const std::string& name : ProxyVariables()) {
            dropped = dropped || StartsWithName(*entry, name);
        }
        if (!dropped) {
            entries.emplace_back(*entry);
        }
    }
    entries.push_back("TMPDIR=" + temporaryDirectory);
    return entries;
}

std::string StoredTransfersFolder(const std::string& temporaryDirectory) {
    return (fs::path(temporaryDirectory) / kEngineFolder / "transfers").string();
}

std::string WorkLogsFolder(const std::string& temporaryDirectory) {
    return (fs::path(temporaryDirectory) / kEngineFolder / "logs").string();
}

std::string ReadWorkLogs(const std::string& temporaryDirectory) {
    std::string text;
    std::error_code error;
    for (fs::directory_iterator it(WorkLogsFolder(temporaryDirectory), error), end; !error && it != end;
         it.increment(error)) {
        text += ReadWholeFile(it->path());
    }
    return text;
}

}  // namespace tvl::test
