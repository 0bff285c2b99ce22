#pragma once

// One file of a package while its works run: the open file, shared between
// the file's open, chunk and close works, which run one after another or on
// disjoint chunks.

#include <cstdint>
#include <memory>
#include <string>

#include "engine/work/WorkDescriptor.h"

namespace tvl {

class SharedFile;

class TransferSharedFileData : public WorkDescriptor {
public:
    TransferSharedFileData(std::string path, std::uint64_t size) : path(std::move(path)), size(size) {}
    TransferSharedFileData(const TransferSharedFileData&) = delete;
    TransferSharedFileData& operator=(const TransferSharedFileData&) = delete;

    // "filePath" and "fileSize".
    void Describe(boost::property_tree::ptree& tree) const override;

    std::shared_ptr<SharedFile> file;  // empty until opened and after closing
    const std::string path;            // relative to the transfer's destination
    const std::uint64_t size;
    // Set when this run allocated the file from empty: until a chunk is
    // written, it holds zeros and need not be read back to be checked.
    bool allocatedEmpty = false;
};

}  // namespace tvl
