#pragma once

// Files of pseudo-random bytes under one folder, drawn from a seeded generator
// so that a tree can be written again byte for byte from the same seed and the
// same sequence of calls.

#include <cstdint>
#include <random>
#include <string>

namespace tvl::test {

class RandomFiles {
public:
    RandomFiles(std::string folder, std::uint32_t seed);

    // Writes `size` bytes to `relative` under the folder, creating the folders
    // on the way, and returns the bytes written.
    std::string Write(const std::string& relative, std::uint64_t size);

private:
    std::string folder_;
    std::mt19937 random_;
};

}  // namespace tvl::test
