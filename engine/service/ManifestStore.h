#pragma once

// A keyed store of manifests of one type: load, save and remove by key.
// Load and Save never throw; they answer false on any failure.

#include <string>

namespace tvl {

template <typename ManifestType>
class ManifestStore {
  public:
    virtual ~ManifestStore() = default;
    ManifestStore(const ManifestStore&) = delete;
    ManifestStore& operator=(const ManifestStore&) = delete;

    virtual bool Load(const std::string& key, ManifestType& manifest) = 0;
    virtual bool Save(const std::string& key, const ManifestType& manifest) = 0;
    virtual bool Remove(const std::string& key) = 0;

  protected:
    ManifestStore() = default;
};

}  // namespace tvl
