#pragma once

#include <memory>

#include "engine/manifest/PackageManifest.h"
#include "engine/manifest/PackageVersionManifest.h"

namespace tvl {

// A package manifest read from the "package" document of the manifest host.
class StandardPackageManifest : public PackageManifest {
public:
    StandardPackageManifest();
    ~StandardPackageManifest() override;

    void Read(const boost::property_tree::ptree& tree) override;
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
    void ReadPackage(const boost::property_tree::ptree& package);

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
