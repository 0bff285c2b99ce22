#include "engine/manifest/StandardPackageManifest.h"

#include <algorithm>
#include <boost/property_tree/ptree.hpp>
#include <initializer_list>
#include <string_view>

#include "engine/manifest/ManifestExceptions.h"
#include "engine/manifest/ManifestParsing.h"
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

// The parts of a streamed package document that the readers look at, each
// shaped into the small tree the tree reader would hold there once attributes
// are folded: the first child element of each name, then the attributes, the
// first of a name being the one read. Everything else is passed by unkept, so
// reading holds the text, the files read so far and one file's values.
class PackageXmlReader : public XmlEventHandler {
public:
    explicit PackageXmlReader(StandardPackageManifest& manifest) : manifest_(manifest) {}

    void StartElement(int depth, std::string_view name, const std::vector<XmlRawAttribute>& attributes) override;
    void Text(int depth, const XmlRawText& text) override;
    void Comment(int depth) override;
    void EndElement(int depth) override;

private:
    enum class Part : std::uint8_t { Skipped, Package, Value, Version, CountryCodes, CountryCode, Files, File };
    struct Open {
        Part part;
        // Where a value element's text goes. Nothing is added to the list
        // holding it while it is open: its own children are skipped.
        std::string* data;
    };
    using Values = std::vector<std::pair<std::string, std::string>>;

    static bool Has(const Values& values, std::string_view name);
    // Starts the value of child element `name` when it is the first of its
    // name and one of `wanted`; nullptr when it is not read.
    static std::string* StartValue(Values& values, std::string_view name,
                                   std::initializer_list<std::string_view> wanted);
    static void KeepAttributes(const std::vector<XmlRawAttribute>& attributes,
                               std::initializer_list<std::string_view> wanted, Values& values);
    // Takes the values over: a file's checksums may be most of the document.
    static boost::property_tree::ptree Tree(Values& elements, Values& attributes);
    void EndPackage();

    StandardPackageManifest& manifest_;
    std::vector<Open> open_;  // one per open element, the document element first
    Values packageElements_;
    Values packageAttributes_;
    bool sawVersion_ = false;
    Values versionElements_;
    Values versionAttributes_;
    bool sawCountryCodes_ = false;
    std::vector<std::string> countryCodes_;
    bool sawFiles_ = false;
    Values fileElements_;
    Values fileAttributes_;
};

bool PackageXmlReader::Has(const Values& values, std::string_view name) {
    return std::any_of(values.begin(), values.end(), [&](const auto& value) { return value.first == name; });
}

std::string* PackageXmlReader::StartValue(Values& values, std::string_view name,
                                          std::initializer_list<std::string_view> wanted) {
    if (std::find(wanted.begin(), wanted.end(), name) == wanted.end() || Has(values, name)) {
        return nullptr;
    }
    values.emplace_back(std::string(name), std::string());
    return &values.back().second;
}

void PackageXmlReader::KeepAttributes(const std::vector<XmlRawAttribute>& attributes,
                                      std::initializer_list<std::string_view> wanted, Values& values) {
    values.clear();
    for (const auto& attribute : attributes) {
        if (std::find(wanted.begin(), wanted.end(), attribute.name) != wanted.end()) {
            values.emplace_back(std::string(attribute.name), attribute.value.Decoded());
        }
    }
}

boost::property_tree::ptree PackageXmlReader::Tree(Values& elements, Values& attributes) {
    boost::property_tree::ptree tree;
    for (Values* values : {&elements, &attributes}) {
        for (auto& [name, value] : *values) {
            tree.push_back({name, boost::property_tree::ptree()})->second.data().swap(value);
        }
    }
    return tree;
}

void PackageXmlReader::StartElement(int depth, std::string_view name,
                                    const std::vector<XmlRawAttribute>& attributes) {
    const Part parent = depth == 1 ? Part::Skipped : open_.back().part;
    Open open{Part::Skipped, nullptr};
    if (depth == 1) {
        if (name != "package") {
            throw ManifestParseException();
        }
        open.part = Part::Package;
        KeepAttributes(attributes, {"id", "name", "partnerId", "versionId", "run", "isActive", "version", "files"},
                       packageAttributes_);
        manifest_.ClearFiles();
    } else if (parent == Part::Package) {
        if ((open.data = StartValue(packageElements_, name,
                                    {"id", "name", "partnerId", "versionId", "run", "isActive"}))) {
            open.part = Part::Value;
        } else if (name == "version" && !sawVersion_) {
            sawVersion_ = true;
            open.part = Part::Version;
            KeepAttributes(attributes, {"id", "run", "policy"}, versionAttributes_);
        } else if (name == "files" && !sawFiles_) {
            sawFiles_ = true;
            open.part = Part::Files;
            if (!attributes.empty()) {
                throw ManifestParseException();  // the tree has them as children other than "file"
            }
        }
    } else if (parent == Part::Version) {
        if ((open.data = StartValue(versionElements_, name, {"id", "run", "policy"}))) {
            open.part = Part::Value;
        } else if (name == "countryCodes" && !sawCountryCodes_) {
            sawCountryCodes_ = true;
            open.part = Part::CountryCodes;
            if (!attributes.empty()) {
                throw ManifestParseException();
            }
        }
    } else if (parent == Part::CountryCodes) {
        if (name != "countryCode") {
            throw ManifestParseException();
        }
        open.part = Part::CountryCode;
        countryCodes_.emplace_back();
        open.data = &countryCodes_.back();
    } else if (parent == Part::Files) {
        if (name != "file") {
            throw ManifestParseException();
        }
        open.part = Part::File;
        fileElements_.clear();
        KeepAttributes(attributes, {"path", "chunksize", "size", "checksums", "sha256"}, fileAttributes_);
    } else if (parent == Part::File) {
        if ((open.data = StartValue(fileElements_, name, {"path", "chunksize", "size", "checksums", "sha256"}))) {
            open.part = Part::Value;
        }
    }
    open_.push_back(open);
}

void PackageXmlReader::Text(int depth, const XmlRawText& text) {
    if (std::string* data = open_.at(static_cast<std::size_t>(depth) - 1).data) {
        text.AppendTo(*data);
    }
}

void PackageXmlReader::Comment(int depth) {
    const Part part = open_.at(static_cast<std::size_t>(depth) - 1).part;
    if (part == Part::Files || part == Part::CountryCodes) {
        throw ManifestParseException();  // a child "<xmlcomment>" in the tree
    }
}

void PackageXmlReader::EndElement(int) {
    const Part part = open_.back().part;
    open_.pop_back();
    if (part == Part::File) {
        manifest_.AddFile(Tree(fileElements_, fileAttributes_));
    } else if (part == Part::Package) {
        EndPackage();
    }
}

void PackageXmlReader::EndPackage() {
    const boost::property_tree::ptree package = Tree(packageElements_, packageAttributes_);
    manifest_.ReadIdentity(package);
    if (sawVersion_) {
        auto version = std::make_unique<PackageVersionManifest>();
        version->Read(Tree(versionElements_, versionAttributes_), std::move(countryCodes_));
        manifest_.version_ = std::move(version);
    } else if (const auto attribute = package.get_child_optional("version")) {
        auto version = std::make_unique<PackageVersionManifest>();
        version->Read(*attribute);
        manifest_.version_ = std::move(version);
    }
    if (!sawFiles_ && !package.get_child_optional("files")) {
        throw ManifestParseException();
    }
    manifest_.FinishFiles();
}

StandardPackageManifest::StandardPackageManifest() : isActive_(true) {}

StandardPackageManifest::~StandardPackageManifest() = default;

void StandardPackageManifest::Read(const boost::property_tree::ptree& tree) {
    WithManifestParseErrors([&] {
        const auto package = tree.get_child_optional("package");
        if (!package) {
            throw ManifestParseException();
        }
        ReadIdentity(*package);
        if (const auto version = package->get_child_optional("version")) {
            auto manifest = std::make_unique<PackageVersionManifest>();
            manifest->Read(*version);
            version_ = std::move(manifest);
        }
        ClearFiles();
        const auto files = package->get_child_optional("files");
        if (!files) {
            throw ManifestParseException();
        }
        for (const auto& child : *files) {
            if (child.first != "file") {
                throw ManifestParseException();
            }
            AddFile(child.second);
        }
        FinishFiles();
    });
}

void StandardPackageManifest::ReadXml(const std::string& text) {
    WithManifestParseErrors([&] {
        PackageXmlReader reader(*this);
        StreamXmlManifest(text, reader);
    });
}

void StandardPackageManifest::ReadIdentity(const boost::property_tree::ptree& package) {
    id_ = RequiredString(package, "id");
    name_ = RequiredString(package, "name");
    partnerId_ = RequiredString(package, "partnerId");
    versionId_ = RequiredString(package, "versionId");
    run_ = OptionalString(package, "run", std::string());
    isActive_ = true;
    if (const auto active = package.get_child_optional("isActive")) {
        isActive_ = ParseBoolean(active->data()).value_or(true);
    }
}

void StandardPackageManifest::ClearFiles() {
    files_.clear();
    runFiles_.clear();
    otherFiles_.clear();
    runFile_.reset();
}

void StandardPackageManifest::AddFile(const boost::property_tree::ptree& tree) {
    auto file = std::make_shared<StandardFileManifest>();
    file->Read(tree);
    files_.push_back(std::move(file));
}

void StandardPackageManifest::FinishFiles() {
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
