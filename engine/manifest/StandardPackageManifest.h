#pragma once

#include <memory>

#include "engine/manifest/PackageManifest.h"
#include "engine/manifest/PackageVersionManifest.h"

namespace tvl {

// A package manifest read from the "package" document of the manifest host,
// either from its tree or from its text in one pass. The second reads the same
// documents the same way: each part it reads is shaped into the small tree
// the first would see there and read by the same code.
class StandardPackageManifest : public PackageManifest, public StreamedXmlManifest {
public:
    StandardPackageManifest();
    ~StandardPackageManifest() override;

    void Read(const boost::property_tree::ptree& tree) override;
    // At most MaxPackageManifestBytes; no limit on the number of files.
    void ReadXml(const std::string& text) override;
    const std::string& GetId() const override { return id_; }
    const std::string& GetName() const override { return name_; }
    const std::string& GetPartnerId() const override { return partnerId_; }
    const std::string& GetVersionId() const override { return versionId_; }
    bool IsActive() const override { return isActive_; }
    const FileManifestList& GetFiles() const override { return files_; }
    const FileManifestList& GetRunFiles() const override { return runFiles_; }
    const FileManifestList& GetOtherFiles() const override { return otherFiles_; }
    const std::string& GetRun() const override { return run_; }
    std::shared_ptr<FileManifest> GetRunFile() const override { return runFile_; }
    bool IsCountryAllowed(const std::string& countryCode) const override;

private:
    friend class PackageXmlReader;

    // The package element's own values: ids, name, run, isActive.
    void ReadIdentity(const boost::property_tree::ptree& package);
    void ClearFiles();
    void AddFile(const boost::property_tree::ptree& file);
    // Once every file is read: the checks across files and the run file.
    void FinishFiles();

    std::string id_;
    std::string name_;
    std::string partnerId_;
    std::string versionId_;
    std::string run_;
    bool isActive_;
    std::shared_ptr<FileManifest> runFile_;
    FileManifestList files_;
    FileManifestList runFiles_;
    FileManifestList otherFiles_;
    std::unique_ptr<PackageVersionManifest> version_;
};

}  // namespace tvl
