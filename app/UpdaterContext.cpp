#include "app/UpdaterContext.h"

#include <cctype>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>

#include "engine/file/UserDirectories.h"
#include "engine/service/UnsetValue.h"
#include "resources/Deployment.h"

namespace tvl {
namespace {

namespace fs = std::filesystem;

// The windows string table hands entries out through a buffer of 255 UTF-16
// units; the updater's deployments were written against that limit.
constexpr std::size_t kMaxResourceStringUnits = 254;

std::size_t Utf16Units(unsigned char leadByte) {
    if (leadByte < 0x80) {
        return 1;
    }
    if (leadByte < 0xC0) {
        return 0;  // continuation byte
    }
    return leadByte >= 0xF0 ? 2 : 1;
}

std::size_t Utf8SequenceLength(unsigned char leadByte) {
    if (leadByte < 0xC0) {
        return 1;
    }
    if (leadByte < 0xE0) {
        return 2;
    }
    return leadByte < 0xF0 ? 3 : 4;
}

enum class NumberOutcome { Value, NoDigits, OutOfRange };

// strtoul's rules for a 32-bit unsigned long: leading white space and a sign
// are accepted, conversion stops at the first non-digit, a minus negates
// modulo 2^32, and a magnitude above 2^32 - 1 is out of range.
NumberOutcome ParseUnsigned32(const std::string& text, std::uint32_t* value) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i >= text.size() || !std::isdigit(static_cast<unsigned char>(text[i]))) {
        return NumberOutcome::NoDigits;
    }
    std::uint64_t magnitude = 0;
    bool overflow = false;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        magnitude = magnitude * 10 + static_cast<std::uint64_t>(text[i] - '0');
        if (magnitude > std::numeric_limits<std::uint32_t>::max()) {
            overflow = true;
            magnitude = std::numeric_limits<std::uint32_t>::max();
        }
    }
    if (overflow) {
        return NumberOutcome::OutOfRange;
    }
    const auto unsignedValue = static_cast<std::uint32_t>(magnitude);
    *value = negative ? static_cast<std::uint32_t>(0u - unsignedValue) : unsignedValue;
    return NumberOutcome::Value;
}

bool StartsWith(const std::string& text, const char* prefix, std::size_t length) {
    return text.compare(0, length, prefix) == 0;
}

void AppendQuoted(std::string& out, const char* option, const std::string& value) {
    out += option;
    out += '"';
    out += value;
    out += '"';
}

}  // namespace

std::string LoadResourceString(ModuleInstance instance, unsigned id) {
    if (instance == nullptr) {
        return std::string();
    }
    const char* text = FindDeploymentString(*instance, id);
    if (text == nullptr) {
        return std::string();
    }
    const std::string entry(text);
    std::size_t units = 0;
    std::size_t end = 0;
    while (end < entry.size()) {
        const auto lead = static_cast<unsigned char>(entry[end]);
        const std::size_t needed = Utf16Units(lead);
        if (units + needed > kMaxResourceStringUnits) {
            break;
        }
        units += needed;
        end = std::min(entry.size(), end + Utf8SequenceLength(lead));
    }
    return entry.substr(0, end);
}

PairList ParsePairList(const std::string& text) {
    PairList pairs;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(';', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string piece = text.substr(start, end - start);
        const std::size_t equals = piece.find('=');
        if (!piece.empty() && equals != std::string::npos) {
            pairs.emplace_back(piece.substr(0, equals), piece.substr(equals + 1));
        }
        start = end + 1;
    }
    return pairs;
}

std::string LocalizedValue(const std::string& value, const std::string& language) {
    if (language.empty()) {
        return value;
    }
    for (const auto& [key, text] : ParsePairList(value)) {
        if (key == language) {
            return text;
        }
    }
    return std::string();
}

std::vector<std::string> ProcessArguments() {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    if (!in) {
        return {};
    }
    const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> tokens;
    std::size_t start = 0;
    while (start < all.size()) {
        std::size_t end = all.find('\0', start);
        if (end == std::string::npos) {
            end = all.size();
        }
        tokens.push_back(all.substr(start, end - start));
        start = end + 1;
    }
    return tokens;
}

UpdaterContext::UpdaterContext(ModuleInstance moduleInstance, const std::string& subPath)
    : elevate(true), instance(moduleInstance), dataSubPath(subPath), logLevel(-9) {
    Construct(nullptr);
}

UpdaterContext::UpdaterContext(ModuleInstance moduleInstance, const std::string& subPath,
                               const std::vector<std::string>& commandLine)
    : elevate(true), instance(moduleInstance), dataSubPath(subPath), logLevel(-9) {
    Construct(&commandLine);
}

void UpdaterContext::Construct(const std::vector<std::string>* commandLine) {
    skinVersion = Unspecified();
    packageVersion = Unspecified();

    host = LoadResourceString(instance, 102);
    downloaderPartnerId = LoadResourceString(instance, 103);
    partnerId = LoadResourceString(instance, 104);
    productName = LoadResourceString(instance, 109);
    productFolder = LoadResourceString(instance, 110);
    downloaderPackageId = LoadResourceString(instance, 108);

    dataRoot = (fs::path(UserTemporaryDirectory()) / dataSubPath).string();

    skinPackageId = LoadResourceString(instance, 107);
    packageId = LoadResourceString(instance, 105);
    defaultPackageVersion = LoadResourceString(instance, 106);
    initialLanguage = LoadResourceString(instance, 113);

    ParseCommandLine(commandLine != nullptr ? *commandLine : ProcessArguments());

    languages = ParsePairList(LoadResourceString(instance, 112));
}

void UpdaterContext::ParseCommandLine(const std::vector<std::string>& tokens) {
    if (tokens.empty()) {
        return;  // the arguments could not be read: nothing is set
    }
    executablePath = tokens.front();
    for (const std::string& token : tokens) {
        if (StartsWith(token, "packageVersion=", 15)) {
            packageVersion = token.substr(15);
        }
        if (StartsWith(token, "skinVersion=", 12)) {
            skinVersion = token.substr(12);
        }
        if (StartsWith(token, "log=", 4)) {
            std::uint32_t value = 0;
            if (ParseUnsigned32(token.substr(4), &value) != NumberOutcome::Value) {
                return;  // a bad log level ends the scan; what was read stays
            }
            logLevel = static_cast<std::int32_t>(value);
        }
    }
}

std::string UpdaterContext::ProductVersion() const {
    if (IsUnspecified(packageVersion) && !defaultPackageVersion.empty()) {
        return defaultPackageVersion;
    }
    return packageVersion;
}

TransferSettings UpdaterContext::MakeServiceSettings() const {
    TransferSettings settings;
    if (!host.empty()) {
        settings.manifestHost = host;
    }
    settings.logLevel = logLevel;
    settings.workThreads *= 2;
    settings.rateWindowSeconds = 1;
    settings.transfersFolder = (fs::path(dataSubPath) / "transfers").string();
    settings.logsFolder = (fs::path(dataSubPath) / "logs").string();
    settings.acceptedReleasesFolder = (fs::path(dataSubPath) / "accepted-releases").string();
    // The deployment's keys hold for every host it names, the overriding
    // manifest host included: the deployment is one signed-off unit.
    if (instance != nullptr && instance->publisherKeys != nullptr) {
        settings.publisherKeys = instance->publisherKeys;
    }
    return settings;
}

std::string UpdaterContext::BuildDownloaderCommandLine(const std::string& language,
                                                       const std::string& skinFile) const {
    std::string line;
    if (!host.empty()) {
        AppendQuoted(line, " /host ", host);
    }
    if (!partnerId.empty()) {
        AppendQuoted(line, " /id ", partnerId);
    }
    AppendQuoted(line, " /package ", LocalizedValue(packageId, language));
    AppendQuoted(line, " /name ", LocalizedValue(productName, language));
    AppendQuoted(line, " /folder ", LocalizedValue(productFolder, language));
    if (!language.empty()) {
        AppendQuoted(line, " /locale ", language);
    }
    const std::string version = ProductVersion();
    if (!IsUnspecified(version)) {
        AppendQuoted(line, " /version ", version);
    }
    if (!skinFile.empty()) {
        AppendQuoted(line, " /skin ", (fs::path(LocalizedValue(skinPackageId, language)) / skinFile).string());
    }
    if (logLevel != -9) {
        AppendQuoted(line, " /log ", std::to_string(logLevel));
    }
    return line;
}

}  // namespace tvl
