#pragma once

// The updater's read-only configuration: the deployment's string table, three
// optional command-line values and a few derived paths. Built once on the main
// thread before anything else; the dialog keeps its own copy.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "engine/service/TransferSettings.h"

namespace tvl {

struct DeploymentValues;

// Where resources come from; the compiled-in deployment in the program, a
// table of their own in tests.
using ModuleInstance = const DeploymentValues*;

using PairList = std::vector<std::pair<std::string, std::string>>;

// A string-table entry as UTF-8, empty when missing. Entries are limited to
// 254 UTF-16 code units; a longer entry is cut at a character boundary.
std::string LoadResourceString(ModuleInstance instance, unsigned id);

// "key=value" pieces separated by ";": empty pieces and pieces without "=" are
// dropped, the value keeps every "=" after the first, nothing is trimmed and
// duplicate keys all stay.
PairList ParsePairList(const std::string& text);

// The value for a language from a pair list; the whole value when no language
// is set, empty when the list has no entry for it.
std::string LocalizedValue(const std::string& value, const std::string& language);

// The process's arguments as the system split them; token 0 is the program.
// Empty when they cannot be read.
std::vector<std::string> ProcessArguments();

class UpdaterContext {
public:
    // Reads the string table from the instance and the process's command line.
    UpdaterContext(ModuleInstance instance, const std::string& dataSubPath);
    // Same, with the command-line tokens given (token 0 is the program path).
    UpdaterContext(ModuleInstance instance, const std::string& dataSubPath,
                   const std::vector<std::string>& commandLine);

    std::string ProductVersion() const;
    TransferSettings MakeServiceSettings() const;
    std::string BuildDownloaderCommandLine(const std::string& language, const std::string& skinFile) const;

    bool elevate;
    ModuleInstance instance;
    std::string executablePath;
    std::string host;
    std::string downloaderPartnerId;
    std::string partnerId;
    std::string dataSubPath;
    std::string downloaderPackageId;
    std::string dataRoot;
    std::string productName;
    std::string productFolder;
    std::string skinPackageId;
    std::string skinVersion;
    std::string packageId;
    std::string packageVersion;
    std::string defaultPackageVersion;
    std::string initialLanguage;
    std::int32_t logLevel;
    PairList languages;

private:
    void Construct(const std::vector<std::string>* commandLine);
    void ParseCommandLine(const std::vector<std::string>& tokens);
};

}  // namespace tvl
