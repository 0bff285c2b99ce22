#pragma once

// The manifest store of the service: one JSON file per key, named key +
// ".json", in a folder below the user's temporary directory. Failures of
// every kind (missing, unreadable, malformed or oversized files, a bad key)
// make Load and Save answer false. Threading as its implementation.

#include <memory>
#include <string>

#include "engine/manifest/ManifestExceptions.h"
#include "engine/service/ManifestStore.h"
#include "engine/service/ManifestStoreImpl.h"

namespace tvl {

template <typename ManifestType>
class TempFileManifestStore : public ManifestStore<ManifestType> {
  public:
    virtual TempFileManifestStoreImpl& GetImpl() = 0;
};

template <typename ManifestType>
class JsonTempFileManifestStore : public TempFileManifestStore<ManifestType> {
  public:
    JsonTempFileManifestStore(std::string folder, SharedFileFactory* files)
        : impl_(std::move(folder), files) {}

    bool Load(const std::string& key, ManifestType& manifest) override {
        try {
            impl_.Load(key, manifest);
            return true;
        } catch (...) {
            return false;
        }
    }

    bool Save(const std::string& key, const ManifestType& manifest) override {
        try {
            impl_.ManifestSink::Save(key, manifest);
            return true;
        } catch (...) {
            return false;
        }
    }

    bool Remove(const std::string& key) override { return impl_.Remove(key); }

    TempFileManifestStoreImpl& GetImpl() override { return impl_; }

  private:
    JsonTempFileManifestStoreImpl impl_;
};

}  // namespace tvl
