#pragma once

// Turns system errors of the POSIX file layer into the FileException family,
// one table for all of engine/file, and checks the paths handed to it.

#include <string>

namespace tvl {

// errno after a failed file call to its exception (std::bad_alloc for ENOMEM).
[[noreturn]] void ThrowFileError(int error);

// errno after failing to create a parent folder: access problems and a full
// disk keep their meaning, everything else makes the path unusable.
[[noreturn]] void ThrowFolderError(int error);

// folder joined with relativePath into *fullPath, unless relativePath could
// reach outside folder (absolute, "..") or cannot name a file (empty, NUL).
bool JoinInside(const std::string& folder, const std::string& relativePath, std::string* fullPath);

}  // namespace tvl
