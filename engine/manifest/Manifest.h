#pragma once

// The two faces of a manifest: filled from a property tree (Read fills the
// object completely or throws ManifestParseException) or written to one.
// Manifests are used through shared pointers and are not copyable.

#include <boost/property_tree/ptree_fwd.hpp>
#include <string>

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

// A manifest whose documents may be large reads its XML text in one pass
// instead, keeping what it reads but no tree of the whole document. Same
// contract as Read.
class StreamedXmlManifest {
public:
    virtual ~StreamedXmlManifest() = default;
    virtual void ReadXml(const std::string& text) = 0;

protected:
    StreamedXmlManifest() = default;
    StreamedXmlManifest(const StreamedXmlManifest&) = delete;
    StreamedXmlManifest& operator=(const StreamedXmlManifest&) = delete;
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
