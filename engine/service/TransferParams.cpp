#include "engine/service/TransferParams.h"

#include <algorithm>
#include <boost/property_tree/ptree.hpp>
#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid.hpp>
#include <boost/uuid/uuid_io.hpp>

#include "engine/service/UnsetValue.h"

namespace tvl {

TransferParams::TransferParams()
    : transferId(Unspecified()),
      partnerId(Unspecified()),
      packageId(Unspecified()),
      versionId(Unspecified()),
      destPath(Unspecified()),
      suspended(false),
      transferType(0) {}

void TransferParams::Describe(boost::property_tree::ptree& tree) const {
    tree.put("transferId", transferId);
    tree.put("partnerId", partnerId);
    tree.put("packageId", packageId);
    tree.put("versionId", versionId);
    tree.put("destPath", destPath);
}

std::string NewTransferId() {
    // A new generator per id, seeded from the operating system's entropy: ids
    // need only be unique per stored-transfer folder, and no state is shared
    // between threads.
    boost::uuids::random_generator_mt19937 generator;
    boost::uuids::uuid id = generator();
    id.data[8] = static_cast<std::uint8_t>((id.data[8] & 0xBF) | 0x80);
    id.data[6] = static_cast<std::uint8_t>((id.data[6] & 0x4F) | 0x40);
    std::string text = boost::uuids::to_string(id);
    text.erase(std::remove(text.begin(), text.end(), '-'), text.end());
    return text;
}

}  // namespace tvl
