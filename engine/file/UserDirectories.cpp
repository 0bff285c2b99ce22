#include "engine/file/UserDirectories.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace tvl {
namespace {

namespace fs = std::filesystem;

bool IsAbsoluteVariable(const char* name, std::string* value) {
    const char* text = std::getenv(name);
    if (text == nullptr || text[0] != '/') {
        return false;
    }
    *value = text;
    return true;
}

bool IsBelow(const fs::path& path, const fs::path& base) {
    auto b = base.begin();
    auto p = path.begin();
    for (; b != base.end(); ++b, ++p) {
        if (b->empty()) {
            continue;  // a trailing separator of the base
        }
        if (p == path.end() || *p != *b) {
            return false;
        }
    }
    return p != path.end();
}

bool Fail(std::string* error, const std::string& message) {
    if (error != nullptr) {
        *error = message;
    }
    return false;
}

}  // namespace

std::string UserTemporaryDirectory() {
    std::string value;
    if (IsAbsoluteVariable("TMPDIR", &value) || IsAbsoluteVariable("XDG_CACHE_HOME", &value)) {
        return value;
    }
    if (IsAbsoluteVariable("HOME", &value)) {
        return (fs::path(value) / ".cache").string();
    }
    return "/tmp";
}

std::string ResolveUserPath(const std::string& path) {
    const fs::path p(path);
    if (p.is_absolute()) {
        return path;
    }
    return (fs::path(UserTemporaryDirectory()) / p).string();
}

bool CreatePrivateDirectories(const std::string& path, std::string* error) {
    if (path.empty()) {
        return Fail(error, "empty folder path");
    }
    const fs::path target = fs::path(path).lexically_normal();
    const fs::path base = fs::path(UserTemporaryDirectory()).lexically_normal();
    const uid_t user = geteuid();

    fs::path current;
    for (const fs::path& part : target) {
        if (part.empty()) {
            continue;
        }
        current /= part;
        struct stat info;
        if (lstat(current.c_str(), &info) != 0) {
            if (errno != ENOENT) {
                return Fail(error, current.string() + ": " + std::strerror(errno));
            }
            if (mkdir(current.c_str(), 0700) != 0 && errno != EEXIST) {
                return Fail(error, current.string() + ": " + std::strerror(errno));
            }
            if (lstat(current.c_str(), &info) != 0) {
                return Fail(error, current.string() + ": " + std::strerror(errno));
            }
        }
        const bool ours = IsBelow(current, base);
        if (S_ISLNK(info.st_mode)) {
            if (ours) {
                return Fail(error, current.string() + " is a symbolic link");
            }
            // Above our own folders links are the system's business (/tmp on
            // some machines); only the target has to be a folder.
            if (stat(current.c_str(), &info) != 0) {
                return Fail(error, current.string() + ": " + std::strerror(errno));
            }
        }
        if (!S_ISDIR(info.st_mode)) {
            return Fail(error, current.string() + " is not a folder");
        }
        if (ours && info.st_uid != user) {
            return Fail(error, current.string() + " belongs to another user");
        }
    }
    if (access(target.c_str(), W_OK | X_OK) != 0) {
        return Fail(error, target.string() + ": " + std::strerror(errno));
    }
    return true;
}

}  // namespace tvl
