#include "tools/talvane-pack/PackageBuilder.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <ostream>
#include <sstream>
#include <thread>

#include "engine/manifest/Crc32.h"
#include "engine/manifest/ManifestValues.h"
#include "engine/manifest/NodeManifest.h"
#include "engine/manifest/StandardFileManifest.h"
#include "engine/security/DocumentSignature.h"
#include "engine/security/PublisherKey.h"

namespace tvl::pack {
namespace {

namespace fs = std::filesystem;

// The engine refuses ids it could not keep inside their folder; these name
// folders here too, so only plain characters besides.
bool IsSafeId(const std::string& id) {
    return IsPathSafeId(id) &&
           id.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-") ==
               std::string::npos;
}

std::string XmlEscape(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&apos;"; break;
            default: out += c;
        }
    }
    return out;
}

bool IsInside(const fs::path& path, const fs::path& root) {
    const auto rel = path.lexically_relative(root);
    return !rel.empty() && *rel.begin() != "..";
}

void Collect(const fs::path& root, std::vector<PackedFile>& files) {
    const fs::path canonicalRoot = fs::canonical(root);
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        const fs::path& path = it->path();
        const std::string relative = path.lexically_relative(root).generic_string();
        const fs::file_status link = it->symlink_status();
        if (fs::is_symlink(link)) {
            std::error_code error;
            const fs::path target = fs::canonical(path, error);
            if (error || !IsInside(target, canonicalRoot)) {
                throw PackError(relative + ": symbolic link leading out of the input folder");
            }
            if (fs::is_directory(target)) {
                throw PackError(relative + ": symbolic link to a folder (would be packed twice)");
            }
        } else if (fs::is_directory(link)) {
            continue;
        } else if (!fs::is_regular_file(link)) {
            throw PackError(relative + ": not a regular file");
        }
        if (!IsSafeRelativePath(relative)) {
            throw PackError(relative + ": a name the package reader refuses (control characters, quotes, "
                                       "backslashes or dot segments)");
        }
        PackedFile file;
        file.path = relative;
        file.source = path.string();
        file.size = fs::file_size(path);
        files.push_back(std::move(file));
    }
    // Byte order of the paths: stable whatever the file system lists first.
    std::sort(files.begin(), files.end(), [](const PackedFile& a, const PackedFile& b) { return a.path < b.path; });
}

// Every chunk of every file, hashed by a pool of threads each reading with
// pread into a buffer of its own. `paths[i]` is where files[i]'s bytes are read.
// With `strong`, the SHA-256 is taken from the same buffer: one read per chunk.
void Hash(std::vector<PackedFile>& files, const std::vector<std::string>& paths, std::uint32_t chunkSize,
          unsigned threads, bool strong) {
    struct Job {
        std::size_t file;
        std::uint64_t chunk;
    };
    std::vector<Job> jobs;
    for (std::size_t f = 0; f < files.size(); ++f) {
        const std::uint64_t count = (files[f].size + chunkSize - 1) / chunkSize;
        files[f].checksums.assign(count, 0);
        files[f].digests.assign(strong ? count : 0, Sha256Digest{});
        for (std::uint64_t c = 0; c < count; ++c) {
            jobs.push_back({f, c});
        }
    }
    std::atomic<std::size_t> next{0};
    std::mutex errorMutex;
    std::string error;
    const auto worker = [&] {
        std::vector<unsigned char> buffer(chunkSize);
        const std::unique_ptr<Sha256> sha = strong ? std::make_unique<Sha256>() : nullptr;
        int fd = -1;
        std::size_t openFile = files.size();
        for (std::size_t j = next++; j < jobs.size(); j = next++) {
            const Job& job = jobs[j];
            PackedFile& file = files[job.file];
            if (openFile != job.file) {
                if (fd >= 0) {
                    close(fd);
                }
                fd = open(paths[job.file].c_str(), O_RDONLY | O_CLOEXEC);
                openFile = job.file;
            }
            const std::uint64_t offset = job.chunk * chunkSize;
            const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(chunkSize, file.size - offset));
            std::size_t done = 0;
            while (fd >= 0 && done < length) {
                const ssize_t n = pread(fd, buffer.data() + done, length - done, static_cast<off_t>(offset + done));
                if (n <= 0) {
                    break;
                }
                done += static_cast<std::size_t>(n);
            }
            if (done != length) {
                std::lock_guard<std::mutex> lock(errorMutex);
                error = file.path + ": could not be read completely (changed while packing?)";
                next = jobs.size();
                break;
            }
            file.checksums[job.chunk] = Crc32(buffer.data(), length);
            if (sha) {
                sha->Update(buffer.data(), length);
                file.digests[job.chunk] = sha->Finish();
            }
        }
        if (fd >= 0) {
            close(fd);
        }
    };
    std::vector<std::thread> pool;
    for (unsigned t = 1; t < threads; ++t) {
        pool.emplace_back(worker);
    }
    worker();
    for (auto& thread : pool) {
        thread.join();
    }
    if (!error.empty()) {
        throw PackError(error);
    }
}

std::string ManifestXml(const PackageOptions& options, const std::vector<PackedFile>& files, bool strong) {
    std::ostringstream xml;
    xml << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";
    xml << "<package id=\"" << XmlEscape(options.packageId) << "\" name=\"" << XmlEscape(options.name)
        << "\" partnerId=\"" << XmlEscape(options.partnerId) << "\" versionId=\"" << XmlEscape(options.versionId)
        << "\"";
    if (!options.run.empty()) {
        xml << " run=\"" << XmlEscape(options.run) << "\"";
    }
    xml << " isActive=\"" << (options.inactive ? "false" : "true") << "\">\n";
    if (!options.policy.empty()) {
        xml << "  <version id=\"" << XmlEscape(options.versionId) << "\"";
        if (!options.run.empty()) {
            xml << " run=\"" << XmlEscape(options.run) << "\"";
        }
        xml << " policy=\"" << options.policy << "\">\n    <countryCodes>";
        for (const auto& country : options.countries) {
            xml << "<countryCode>" << XmlEscape(country) << "</countryCode>";
        }
        xml << "</countryCodes>\n  </version>\n";
    }
    xml << "  <files>\n";
    static const char hex[] = "0123456789abcdef";
    for (const auto& file : files) {
        xml << "    <file path=\"" << XmlEscape(file.path) << "\" size=\"" << file.size << "\" chunksize=\""
            << options.chunkSize << "\" checksums=\"";
        for (std::uint32_t sum : file.checksums) {
            for (int shift = 28; shift >= 0; shift -= 4) {
                xml << hex[(sum >> shift) & 0xF];
            }
        }
        xml << "\"";
        // Readers that do not know the attribute skip it, so a signed
        // package still downloads with clients that check CRC-32 only.
        if (strong) {
            xml << " sha256=\"";
            for (const Sha256Digest& digest : file.digests) {
                xml << ToHex(digest);
            }
            xml << "\"";
        }
        xml << "/>\n";
    }
    xml << "  </files>\n</package>\n";
    return xml.str();
}

std::string NodeListXml(const PackageOptions& options) {
    std::ostringstream xml;
    xml << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<ArrayOfNodeInfo>\n";
    for (std::size_t i = 0; i < options.nodes.size(); ++i) {
        xml << "  <NodeInfo><NodeId>node" << (i + 1) << "</NodeId><Host>" << XmlEscape(options.nodes[i])
            << "</Host><Path>" << XmlEscape(options.nodePath) << "</Path>";
        if (i < options.weights.size()) {
            xml << "<Weight>" << options.weights[i] << "</Weight>";
        }
        xml << "</NodeInfo>\n";
    }
    xml << "</ArrayOfNodeInfo>\n";
    return xml.str();
}

void WriteText(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    const fs::path temporary = path.string() + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out) {
            throw PackError(path.string() + ": could not be written");
        }
    }
    fs::rename(temporary, path);
}

// The signature goes in after the document it covers, so that a reader never
// finds one for bytes not yet in place. Without one, a signature left by an
// earlier signed run is removed: it would describe other bytes.
void WriteDocument(const fs::path& path, const std::string& text, const std::optional<std::string>& signature,
                   PackResult& result) {
    WriteText(path, text);
    const fs::path signaturePath = path.string() + ".sig";
    if (signature) {
        WriteText(signaturePath, *signature);
        result.signaturePaths.push_back(signaturePath.string());
    } else {
        std::error_code ignored;
        fs::remove(signaturePath, ignored);
    }
}

std::int64_t NowSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void Validate(const PackageOptions& options) {
    if (options.input.empty() || options.output.empty()) {
        throw PackError("--input and --output are required");
    }
    for (const auto& [flag, id] : {std::pair<const char*, const std::string*>{"--partner", &options.partnerId},
                                   {"--package", &options.packageId},
                                   {"--package-version", &options.versionId}}) {
        if (!IsSafeId(*id)) {
            throw PackError(std::string(flag) +
                            " must be letters, digits, '.', '_' or '-', without \"..\" (it names folders)");
        }
    }
    if (options.name.empty()) {
        throw PackError("--name is required");
    }
    if (options.chunkSize == 0) {
        throw PackError("--chunk-size must be at least 1");
    }
    if (!options.policy.empty() && options.policy != "None" && options.policy != "Whitelist" &&
        options.policy != "Blacklist") {
        throw PackError("--policy must be None, Whitelist or Blacklist");
    }
    if (!options.countries.empty() && options.policy.empty()) {
        throw PackError("--countries needs --policy");
    }
    for (const auto& country : options.countries) {
        if (country.size() != 2) {
            throw PackError("country codes have two letters: " + country);
        }
    }
    for (const auto& node : options.nodes) {
        if (!ParseServerAddress(node)) {
            throw PackError("--nodes takes [https://]HOST[:PORT] entries: " + node);
        }
    }
    if (!options.weights.empty() && options.weights.size() != options.nodes.size()) {
        throw PackError("--weights needs one weight per node");
    }
    const std::string& nodePath = options.nodePath;
    if (nodePath.empty() || nodePath.front() != '/' || nodePath.find("..") != std::string::npos) {
        throw PackError("--node-path must be an absolute URL path without \"..\"");
    }
    if (options.signKey.empty() && (options.issued || options.expiresInDays)) {
        throw PackError("--issued and --expires-in need --sign-key");
    }
    if (options.expiresInDays && *options.expiresInDays == 0) {
        throw PackError("--expires-in takes at least 1 day");
    }
    if (!fs::is_directory(options.input)) {
        throw PackError(options.input + ": not a folder");
    }
}

}  // namespace

PackResult BuildPackage(const PackageOptions& options) {
    Validate(options);
    // Read before anything is written: a key that cannot be used must not
    // leave a package behind that looks published.
    std::optional<PrivateKey> key;
    if (!options.signKey.empty()) {
        try {
            key = PrivateKey::FromFile(options.signKey);
        } catch (const KeyError& e) {
            throw PackError(std::string("--sign-key: ") + e.what());
        }
    }
    PackResult result;
    Collect(options.input, result.files);
    if (result.files.empty()) {
        // The engine has nothing to deliver for a package without files and
        // every client would end in an error.
        throw PackError(options.input + ": no files to pack");
    }
    if (!options.run.empty() &&
        std::none_of(result.files.begin(), result.files.end(),
                     [&](const PackedFile& file) { return file.path == options.run; })) {
        throw PackError("--run names no file of the package: " + options.run);
    }
    const fs::path root(options.output);
    const fs::path packageFolder = root / fs::path(options.nodePath.substr(1)) / options.partnerId /
                                   options.packageId / options.versionId;
    // The copies are hashed, not the input: a file changed while packing must
    // not leave checksums that describe other bytes than the ones served.
    std::vector<std::string> copies;
    copies.reserve(result.files.size());
    for (auto& file : result.files) {
        const fs::path target = packageFolder / file.path;
        fs::create_directories(target.parent_path());
        fs::copy_file(file.source, target, fs::copy_options::overwrite_existing);
        std::error_code error;
        const std::uintmax_t copied = fs::file_size(target, error);
        if (error || copied != file.size) {
            throw PackError(file.path + ": changed while packing");
        }
        copies.push_back(target.string());
        result.totalBytes += file.size;
    }
    const unsigned threads = options.threads != 0 ? options.threads : std::max(1u, std::thread::hardware_concurrency());
    Hash(result.files, copies, options.chunkSize, threads, key.has_value());

    const std::string manifest = ManifestXml(options, result.files, key.has_value());
    const std::string nodeList = options.nodes.empty() ? std::string() : NodeListXml(options);
    // Both signatures are made before the first document is written, so a
    // failure to sign leaves the published documents as they were.
    std::optional<std::string> manifestSignature;
    std::optional<std::string> nodeListSignature;
    if (key) {
        SignedStatement statement;
        statement.issued = options.issued ? *options.issued : NowSeconds();
        if (options.expiresInDays) {
            statement.expires = statement.issued + std::int64_t{*options.expiresInDays} * 86400;
        }
        try {
            statement.kind = SignedKind::PackageManifest;
            statement.id = options.packageId;
            statement.version = options.versionId;
            statement.documentDigest = Sha256Of(manifest);
            manifestSignature = WriteSignatureFile(statement, *key);
            if (!nodeList.empty()) {
                statement.kind = SignedKind::NodeList;
                statement.id = options.partnerId;
                statement.version.clear();
                statement.documentDigest = Sha256Of(nodeList);
                nodeListSignature = WriteSignatureFile(statement, *key);
            }
        } catch (const KeyError& e) {
            throw PackError(e.what());
        }
    }
    const fs::path manifestFolder = root / "manifests" / options.packageId;
    result.manifestPath = (manifestFolder / (options.versionId + ".xml")).string();
    WriteDocument(result.manifestPath, manifest, manifestSignature, result);
    if (options.current) {
        WriteDocument(manifestFolder / "current.xml", manifest, manifestSignature, result);
    }
    if (!nodeList.empty()) {
        WriteDocument(root / "nodes" / (options.partnerId + ".xml"), nodeList, nodeListSignature, result);
    }
    return result;
}

std::string MakeKeyPair(const std::string& privatePath) {
    const std::string publicPath = privatePath + ".pub";
    std::error_code error;
    if (fs::exists(fs::symlink_status(publicPath, error))) {
        throw PackError(publicPath + " already exists; it is not replaced");
    }
    const PrivateKey key = PrivateKey::Generate();
    try {
        key.WriteNewFile(privatePath);
    } catch (const KeyError& e) {
        throw PackError(e.what());
    }
    const std::string text = key.Public().Text();
    const std::string line = text + "\n";
    const int descriptor = open(publicPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    const int openError = errno;
    bool written =
        descriptor >= 0 && write(descriptor, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    if (descriptor >= 0) {
        written = close(descriptor) == 0 && written;
    }
    if (!written) {
        // A private key without its public half would be found and kept by
        // mistake; it was made just now, so nothing is lost.
        unlink(privatePath.c_str());
        if (descriptor >= 0) {
            unlink(publicPath.c_str());
        }
        throw PackError("cannot write " + publicPath +
                        (descriptor < 0 ? ": " + std::string(std::strerror(openError)) : ""));
    }
    return text;
}

}  // namespace tvl::pack
