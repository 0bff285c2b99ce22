#pragma once

// The stored form of a transfer: its five parameter strings as one flat
// object. Reading requires all five keys, each a plain value, and starts from
// default parameters (not suspended, download type). Not thread-safe.

#include "engine/manifest/Manifest.h"
#include "engine/service/TransferParams.h"

namespace tvl {

class TransferManifest : public InputManifest, public OutputManifest {
  public:
    TransferManifest() = default;

    // ManifestParseException when a key is missing or not a plain value.
    void Read(const boost::property_tree::ptree& tree) override;
    void Write(boost::property_tree::ptree& tree) const override;

    TransferParams params;
};

}  // namespace tvl
