#pragma once

// The two faces of a manifest: filled from a property tree (Read fills the
// object completely or throws ManifestParseException) or written to one.
// Manifests are used through shared pointers and are not copyable.

#include <boost/property_tree/ptree_fwd.hpp>

namespace tvl {

class InputManifest {
public:
    virtual ~InputManifest() = default;
    virtual void Read(const boost::property_tree::ptree& tree) = 0;

protected:
    InputManifest() = default;
    InputManifest(const InputManifest&) = delete;
    InputManifest& operator=(const InputManifest&) = delete;
};

class OutputManifest {
public:
    virtual ~OutputManifest() = default;
    virtual void Write(boost::property_tree::ptree& tree) const = 0;

protected:
    OutputManifest() = default;
    OutputManifest(const OutputManifest&) = delete;
    OutputManifest& operator=(const OutputManifest&) = delete;
};

}  // namespace tvl
