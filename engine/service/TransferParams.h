#pragma once

// Names one transfer: who asked for it, what it fetches, where its files go and
// the id the engine knows it by. A copyable value; "?" in a string field means
// the value is not given yet. Only the five strings are described and stored.

#include <cstdint>
#include <string>

#include "engine/work/WorkDescriptor.h"

namespace tvl {

class TransferParams : public WorkDescriptor {
public:
    TransferParams();
    TransferParams(const TransferParams&) = default;
    TransferParams& operator=(const TransferParams&) = default;

    void Describe(boost::property_tree::ptree& tree) const override;

    std::string transferId;  // 32 lowercase hexadecimal digits once assigned
    std::string partnerId;
    std::string packageId;
    std::string versionId;
    std::string destPath;  // UTF-8
    bool suspended;
    std::int32_t transferType;  // 0 download, 1 verify
};

// A fresh transfer id: a random version-4 UUID as 32 lowercase hexadecimal
// digits without hyphens. Safe from any thread.
std::string NewTransferId();

}  // namespace tvl
