#include "tests/support/RandomFiles.h"

#include <filesystem>
#include <utility>

#include "tests/support/FileBytes.h"

namespace tvl::test {

RandomFiles::RandomFiles(std::string folder, std::uint32_t seed) : folder_(std::move(folder)), random_(seed) {}

std::string RandomFiles::Write(const std::string& relative, std::uint64_t size) {
    std::string bytes(static_cast<std::size_t>(size), '\0');
    for (auto& b : bytes) {
        b = static_cast<char>(random_());
    }
    WriteWholeFile(std::filesystem::path(folder_) / relative, bytes);
    return bytes;
}

}  // namespace tvl::test
