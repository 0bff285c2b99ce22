#pragma once

// Anything that can write itself into a property tree, later written as JSON
// by the work log and the manifest store. Keys use "." as the path separator;
// every value is text (numbers in decimal, booleans as "true"/"false").

#include <boost/property_tree/ptree_fwd.hpp>

namespace tvl {

class WorkDescriptor {
public:
    virtual ~WorkDescriptor() = default;
    virtual void Describe(boost::property_tree::ptree& tree) const = 0;

protected:
    WorkDescriptor() = default;
    WorkDescriptor(const WorkDescriptor&) = default;
    WorkDescriptor& operator=(const WorkDescriptor&) = default;
};

}  // namespace tvl
