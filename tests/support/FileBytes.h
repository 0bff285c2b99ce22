#pragma once

// Whole files as byte strings, for tests that write inputs and compare copies.

#include <filesystem>
#include <string>

namespace tvl::test {

// The file's bytes; empty when it is missing or unreadable.
std::string ReadWholeFile(const std::filesystem::path& path);

// Replaces the file with `bytes`, creating its folders. Throws std::runtime_error
// when the file cannot be written.
void WriteWholeFile(const std::filesystem::path& path, const std::string& bytes);

}  // namespace tvl::test
