#pragma once

// Base of the event and log records: a simple work that carries the event as
// a property tree and a kind. These works belong to no workflow; their
// managers reset them and hand them to a work manager's Execute, which runs
// them once on a pool thread.

#include <boost/property_tree/ptree.hpp>
#include <cstdint>

#include "engine/work/SimpleWork.h"

namespace tvl {

class TrackEventWork : public SimpleWork {
public:
    boost::property_tree::ptree& GetTree() { return tree_; }
    const boost::property_tree::ptree& GetTree() const { return tree_; }
    std::int32_t GetKind() const { return kind_; }

protected:
    explicit TrackEventWork(std::int32_t kind) : kind_(kind) {}

    void Abort() override {}

private:
    boost::property_tree::ptree tree_;
    std::int32_t kind_;
};

}  // namespace tvl
