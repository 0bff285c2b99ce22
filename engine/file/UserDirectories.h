#pragma once

// Where the updater and the engine keep their files. The user's temporary
// directory is $TMPDIR when set and absolute, else $XDG_CACHE_HOME (when
// absolute), else $HOME/.cache, else /tmp. A shared /tmp comes last: a
// predictable folder there would let another user plant files or symbolic
// links in our data folder. Safe from any thread.

#include <string>

namespace tvl {

std::string UserTemporaryDirectory();

// An absolute path unchanged; a relative one joined under the user's temporary
// directory.
std::string ResolveUserPath(const std::string& path);

// Creates the folder and its missing parents, each new one private to the user
// (mode 0700). Folders that already exist below the user's temporary directory
// must belong to the user and must not be symbolic links, so that nobody else
// can have prepared them. Returns true when the folder is usable afterwards;
// otherwise false with the reason in *error when given.
bool CreatePrivateDirectories(const std::string& path, std::string* error = nullptr);

}  // namespace tvl
