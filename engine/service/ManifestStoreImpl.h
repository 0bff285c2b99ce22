#pragma once

// The machinery behind a manifest store: a source that fetches and parses a
// stored manifest by key, and a sink that serializes and stores one. The
// temporary-file implementation keeps one file per key in a folder below the
// user's temporary directory (or in an absolute folder).
//
// A file is written whole or not at all (see DurableFileWrite.h): a crash or a
// full disk during a save leaves at most a temporary file, which is never read
// as a stored transfer and goes with the next save or removal of its key (or
// of any key, once it is old). An existing file is never replaced.
//
// Keys become file names, so only well-formed keys are accepted: 32 lowercase
// hexadecimal digits, the form of a transfer id. Any other key fails as
// ManifestLocatorException before the disk is touched.
//
// Threading: no lock of its own; operations on different keys may run at
// once. The shared-file factory's lock is not used.

#include <boost/property_tree/ptree_fwd.hpp>
#include <iosfwd>
#include <string>

#include "engine/manifest/ManifestSource.h"

namespace tvl {

class OutputManifest;
class SharedFileFactory;

class ManifestSink {
  public:
    virtual ~ManifestSink() = default;

    virtual void Serialize(const boost::property_tree::ptree& tree, std::ostream& out) = 0;
    virtual void Store(std::istream& in, const std::string& key) = 0;

    // Write, Serialize, then Store.
    void Save(const std::string& key, const OutputManifest& manifest);
};

class ManifestStoreImpl : public ManifestSource, public ManifestSink {};

class TempFileManifestStoreImpl : public ManifestStoreImpl {
  public:
    // Stored files beyond this size are not stored transfers and are not read.
    static constexpr std::uint64_t MaxStoredBytes = 1u << 20;

    // folder: relative to the user's temporary directory, or absolute. The
    // factory is not owned.
    TempFileManifestStoreImpl(std::string folder, SharedFileFactory* files);

    void Fetch(const std::string& key, std::ostream& out) override;
    void Store(std::istream& in, const std::string& key) override;
    bool Remove(const std::string& key);

    virtual std::string GetFileName(const std::string& key) = 0;

    const std::string& GetFolder() const { return folder_; }

  private:
    // The factory's folder argument and the path below it for a key.
    void Locate(const std::string& key, std::string* base, std::string* relative);

    const std::string folder_;
    SharedFileFactory* const files_;
};

class JsonTempFileManifestStoreImpl : public TempFileManifestStoreImpl {
  public:
    using TempFileManifestStoreImpl::TempFileManifestStoreImpl;

    void Parse(std::istream& in, boost::property_tree::ptree& tree) override;
    void Serialize(const boost::property_tree::ptree& tree, std::ostream& out) override;
    std::string GetFileName(const std::string& key) override;
};

// 32 lowercase hexadecimal digits.
bool IsWellFormedTransferId(const std::string& id);

}  // namespace tvl
