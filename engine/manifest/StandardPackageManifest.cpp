#include "engine/manifest/StandardPackageManifest.h"

#include <algorithm>
#include <boost/property_tree/ptree.hpp>

#include "engine/manifest/ManifestExceptions.h"
#include "engine/manifest/ManifestValues.h"
#include "engine/manifest/StandardFileManifest.h"

namespace tvl {
namespace {

// Orders paths segment by segment: '/' sorts before every other byte, so each
// path is followed directly by the paths below it, if any.
bool SegmentOrder(const std::string& a, const std::string& b) {
    const auto rank = [](char c) { return c == '/' ? 0 : static_cast<unsigned char>(c) + 1; };
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [&](char x, char y) { return rank(x) < rank(y); });
}

// Two works on one file would write it at once, and a file cannot also be a
// folder. Paths are already in their only form (no empty, "." or ".."
// segment), so comparing the text is comparing the files.
bool PathsConflict(const FileManifestList& files) {
    std::vector<const std::string*> paths;
    paths.reserve(files.size());
    for (const auto& file : files) {
        paths.push_back(&file->GetPath());
    }
    std::sort(paths.begin(), paths.end(),
              [](const std::string* a, const std::string* b) { return SegmentOrder(*a, *b); });
    for (std::size_t i = 1; i < paths.size(); ++i) {
        const std::string& before = *paths[i - 1];
        const std::string& path = *paths[i];
        if (path == before || (path.size() > before.size() && path[before.size()] == '/' &&
                               path.compare(0, before.size(), before) == 0)) {
            return true;
        }
    }
    return false;
}

}  // namespace

StandardPackageManifest::StandardPackageManifest() : isActive_(true) {}

StandardPackageManifest::~StandardPackageManifest() = default;

void StandardPackageManifest::Read(const boost::property_tree::ptree& tree) {
    WithManifestParseErrors([&] {
        const auto package = tree.get_child_optional("package");
        if (!package) {
            throw ManifestParseException();
        }
        ReadPackage(*package);
    });
}

void StandardPackageManifest::ReadPackage(const boost::property_tree::ptree& package) {
    id_ = RequiredString(package, "id");
    name_ = RequiredString(package, "name");
    partnerId_ = RequiredString(package, "partnerId");
    versionId_ = RequiredString(package, "versionId");
    run_ = OptionalString(package, "run", std::string());
    isActive_ = true;
    if (const auto active = package.get_child_optional("isActive")) {
        isActive_ = ParseBoolean(active->data()).value_or(true);
    }

    if (const auto version = package.get_child_optional("version")) {
        auto manifest = std::make_unique<PackageVersionManifest>();
        manifest->Read(*version);
        version_ = std::move(manifest);
    }

    files_.clear();
    runFiles_.clear();
    otherFiles_.clear();
    runFile_.reset();
    const auto files = package.get_child_optional("files");
    if (!files) {
        throw ManifestParseException();
    }
    for (const auto& child : *files) {
        if (child.first != "file") {
            throw ManifestParseException();
        }
        auto file = std::make_shared<StandardFileManifest>();
        file->Read(child.second);
        files_.push_back(std::move(file));
    }

    if (id_.empty() || name_.empty() || !IsPathSafeId(id_) || !IsPathSafeId(partnerId_) ||
        !IsPathSafeId(versionId_)) {
        throw ManifestParseException();
    }
    if (PathsConflict(files_)) {
        throw ManifestParseException();
    }
    for (const auto& file : files_) {
        if (file->GetPath() == run_) {
            runFile_ = file;
            runFiles_.push_back(file);
        } else {
            otherFiles_.push_back(file);
        }
    }
    if (!run_.empty() && !runFile_) {
        throw ManifestParseException();
    }
    if (version_ && (version_->GetId() != versionId_ || version_->GetRun() != run_)) {
        throw ManifestParseException();
    }
}

bool StandardPackageManifest::IsCountryAllowed(const std::string& countryCode) const {
    if (!version_) {
        return true;
    }
    const auto& codes = version_->GetCountryCodes();
    const bool listed = std::find(codes.begin(), codes.end(), countryCode) != codes.end();
    switch (version_->GetPolicy()) {
        case GeofencePolicy::Whitelist:
            return listed;
        case GeofencePolicy::Blacklist:
            return !listed;
        default:
            return true;
    }
}

}  // namespace tvl
