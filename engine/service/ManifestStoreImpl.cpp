#include "engine/service/ManifestStoreImpl.h"

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <filesystem>
#include <limits>
#include <sstream>

#include "engine/file/DurableFileWrite.h"
#include "engine/file/FileExceptions.h"
#include "engine/file/SharedFile.h"
#include "engine/file/SharedFileFactory.h"
#include "engine/file/UserDirectories.h"
#include "engine/manifest/Manifest.h"
#include "engine/manifest/ManifestExceptions.h"
#include "engine/manifest/ManifestParsing.h"

namespace tvl {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kReadSize = 4096;

// Temporary files of other keys this old belong to saves that were cut short.
constexpr long kLeftoverSeconds = 600;

}  // namespace

bool IsWellFormedTransferId(const std::string& id) {
    if (id.size() != 32) {
        return false;
    }
    for (const char c : id) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

void ManifestSink::Save(const std::string& key, const OutputManifest& manifest) {
    boost::property_tree::ptree tree;
    manifest.Write(tree);
    std::stringstream text;
    Serialize(tree, text);
    Store(text, key);
}

TempFileManifestStoreImpl::TempFileManifestStoreImpl(std::string folder, SharedFileFactory* files)
    : folder_(std::move(folder)), files_(files) {}

void TempFileManifestStoreImpl::Locate(const std::string& key, std::string* base, std::string* relative) {
    if (!IsWellFormedTransferId(key) || files_ == nullptr) {
        throw ManifestLocatorException();
    }
    const fs::path folder(folder_);
    if (folder.is_absolute()) {
        *base = folder_;
        *relative = GetFileName(key);
    } else {
        // Below the temporary directory, so that removing the last file also
        // removes the folders it leaves empty, up to that directory.
        *base = UserTemporaryDirectory();
        *relative = (folder / GetFileName(key)).string();
    }
}

void TempFileManifestStoreImpl::Fetch(const std::string& key, std::ostream& out) {
    std::string base;
    std::string relative;
    Locate(key, &base, &relative);
    std::shared_ptr<SharedFile> file;
    try {
        file = files_->Open(base, relative, OpenMode::OpenExisting, false, 0,
                            std::numeric_limits<std::uint64_t>::max());
    } catch (const FileBadPathException&) {
        throw ManifestLocatorException();
    } catch (...) {
        throw ManifestStreamException();
    }
    try {
        char buffer[kReadSize];
        std::uint64_t total = 0;
        for (;;) {
            const std::size_t got = file->Read(buffer, sizeof buffer);
            total += got;
            if (total > MaxStoredBytes) {
                throw ManifestParseException();
            }
            out.write(buffer, static_cast<std::streamsize>(got));
            if (got < sizeof buffer) {
                break;
            }
        }
    } catch (const ManifestParseException&) {
        throw;
    } catch (...) {
        throw ManifestStreamException();
    }
    if (!out) {
        throw ManifestStreamException();
    }
}

void TempFileManifestStoreImpl::Store(std::istream& in, const std::string& key) {
    std::string base;
    std::string relative;
    Locate(key, &base, &relative);
    if (!CreatePrivateDirectories(ResolveUserPath(folder_))) {
        throw ManifestStreamException();
    }
    std::ostringstream text;
    try {
        text << in.rdbuf();
    } catch (...) {
        throw ManifestStreamException();
    }
    if (!in) {
        throw ManifestStreamException();
    }
    const fs::path path = fs::path(base) / relative;
    const std::string folder = path.parent_path().string();
    const std::string name = path.filename().string();
    RemoveLeftoverTemporaries(folder, name, kLeftoverSeconds);
    try {
        WriteNewFileDurably(folder, name, text.str());
    } catch (const FileInUseException&) {
        throw ManifestLocatorException();
    } catch (...) {
        throw ManifestStreamException();
    }
}

bool TempFileManifestStoreImpl::Remove(const std::string& key) {
    std::string base;
    std::string relative;
    try {
        Locate(key, &base, &relative);
    } catch (const ManifestException&) {
        return false;
    }
    // Leftovers of an interrupted save would keep the folders from going.
    const fs::path path = fs::path(base) / relative;
    RemoveLeftoverTemporaries(path.parent_path().string(), path.filename().string(), kLeftoverSeconds);
    return files_->Delete(base, relative, false);
}

void JsonTempFileManifestStoreImpl::Parse(std::istream& in, boost::property_tree::ptree& tree) {
    try {
        ParseJsonManifest(in, tree);
    } catch (...) {
        throw ManifestParseException();
    }
}

void JsonTempFileManifestStoreImpl::Serialize(const boost::property_tree::ptree& tree, std::ostream& out) {
    try {
        boost::property_tree::write_json(out, tree, false);
    } catch (...) {
        throw ManifestParseException();
    }
}

std::string JsonTempFileManifestStoreImpl::GetFileName(const std::string& key) {
    return key + ".json";
}

}  // namespace tvl
