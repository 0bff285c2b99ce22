#include "engine/security/AcceptedReleases.h"

#include <charconv>
#include <fstream>

#include "engine/file/DurableFileWrite.h"
#include "engine/file/UserDirectories.h"
#include "engine/manifest/ManifestValues.h"
#include "engine/security/DocumentSignature.h"

namespace tvl {
namespace {

constexpr char kPrefix[] = "issued: ";

}  // namespace

AcceptedReleases::AcceptedReleases(std::string folder) : folder_(std::move(folder)) {}

std::string AcceptedReleases::PathOf(const std::string& packageId) const { return folder_ + "/" + packageId; }

std::optional<std::int64_t> AcceptedReleases::Newest(const std::string& packageId) const {
    if (!IsPathSafeId(packageId)) {
        return std::nullopt;
    }
    std::ifstream in(PathOf(packageId));
    std::string line;
    if (!in || !std::getline(in, line) || line.compare(0, sizeof kPrefix - 1, kPrefix) != 0) {
        return std::nullopt;
    }
    std::int64_t issued = 0;
    const char* first = line.data() + sizeof kPrefix - 1;
    const char* last = line.data() + line.size();
    const auto [end, error] = std::from_chars(first, last, issued);
    if (error != std::errc() || end != last) {
        return std::nullopt;
    }
    return issued;
}

void AcceptedReleases::Accept(const std::string& packageId, std::int64_t issued) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::optional<std::int64_t> newest = Newest(packageId);
    if (newest && issued < *newest) {
        throw SignatureRejected(SignatureFault::Rollback, "issued at " + std::to_string(issued) +
                                                              ", a release of " + std::to_string(*newest) +
                                                              " was accepted before");
    }
    if ((newest && issued == *newest) || !IsPathSafeId(packageId)) {
        return;
    }
    try {
        if (!CreatePrivateDirectories(folder_)) {
            return;
        }
        ReplaceFileDurably(folder_, packageId, kPrefix + std::to_string(issued) + "\n");
    } catch (const std::exception&) {
        // Recorded next time; the release itself is genuine.
    }
}

}  // namespace tvl
