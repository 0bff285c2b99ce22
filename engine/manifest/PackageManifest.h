#pragma once

// One package version: its identity, its files in document order, the file to
// launch and the geofence rule. Immutable once read; safe to share.

#include <memory>
#include <string>
#include <vector>

#include "engine/manifest/FileManifest.h"
#include "engine/manifest/Manifest.h"

namespace tvl {

using FileManifestList = std::vector<std::shared_ptr<FileManifest>>;

class PackageManifest : public InputManifest {
public:
    virtual const std::string& GetId() const = 0;
    virtual const std::string& GetName() const = 0;
    virtual const std::string& GetPartnerId() const = 0;
    virtual const std::string& GetVersionId() const = 0;
    virtual bool IsActive() const = 0;
    virtual const FileManifestList& GetFiles() const = 0;
    virtual const FileManifestList& GetRunFiles() const = 0;
    virtual const FileManifestList& GetOtherFiles() const = 0;
    virtual const std::string& GetRun() const = 0;
    virtual std::shared_ptr<FileManifest> GetRunFile() const = 0;
    virtual bool IsCountryAllowed(const std::string& countryCode) const = 0;

    // Set while the manifest is read, before it is shared, when a publisher's
    // signature vouched for it: every chunk must then match its file's strong
    // digest, not only its CRC-32.
    bool DigestsRequired() const { return digestsRequired_; }
    void RequireDigests() { digestsRequired_ = true; }

private:
    bool digestsRequired_ = false;
};

}  // namespace tvl
