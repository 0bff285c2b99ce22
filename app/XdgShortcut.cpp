#include "app/XdgShortcut.h"

#include <filesystem>
#include <fstream>
#include <system_error>

#include "engine/file/UserDirectories.h"

namespace tvl {
namespace {

namespace fs = std::filesystem;

constexpr char kDesktopExtension[] = ".desktop";
constexpr char kInternetExtension[] = ".url";

// A name is a single file name: anything else would write outside the folder.
bool IsPlainName(const std::string& name) {
    return name.find('/') == std::string::npos && name != "." && name != "..";
}

bool Exists(const fs::path& path) {
    std::error_code error;
    return fs::exists(fs::symlink_status(path, error));
}

// The shortcut file of that name in that folder: the desktop entry when there
// is one, else the internet shortcut.
fs::path ExistingShortcut(const fs::path& folder, const std::string& name, std::string* extension) {
    const fs::path desktop = folder / (name + kDesktopExtension);
    if (Exists(desktop)) {
        *extension = kDesktopExtension;
        return desktop;
    }
    *extension = kInternetExtension;
    return folder / (name + kInternetExtension);
}

}  // namespace

std::string DesktopEntryString(const std::string& value) {
    std::string out;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            case ' ':
                out += i == 0 ? "\\s" : " ";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string DesktopEntryExec(const std::string& programPath) {
    static const std::string kReserved = " \t\n\"'\\><~|&;$*?#()`";
    std::string quoted;
    if (!programPath.empty() && programPath.find_first_of(kReserved) == std::string::npos) {
        quoted = programPath;
    } else {
        quoted += '"';
        for (const char c : programPath) {
            if (c == '"' || c == '`' || c == '$' || c == '\\') {
                quoted += '\\';
            }
            quoted += c;
        }
        quoted += '"';
    }
    std::string withoutFieldCodes;
    for (const char c : quoted) {
        withoutFieldCodes += c;
        if (c == '%') {
            withoutFieldCodes += '%';
        }
    }
    // Readers undo the string escapes before they undo the quoting, so the
    // string escapes go on last. The value starts with a quote or with a path
    // free of blanks, so the leading-blank escape never applies.
    return DesktopEntryString(withoutFieldCodes);
}

XdgShortcut::XdgShortcut(std::string name, std::string folder)
    : SimpleShortcut(std::move(name)), folder_(std::move(folder)) {}

bool XdgShortcut::Create(const std::string& targetPath) {
    if (!IsPlainName(Name())) {
        return false;
    }
    try {
        if (!fs::exists(folder_) && !CreatePrivateDirectories(folder_)) {
            return false;
        }
        const fs::path entry = fs::path(folder_) / (Name() + kDesktopExtension);
        if (Exists(entry) && !fs::remove(fs::absolute(entry))) {
            return false;
        }
        {
            std::ofstream out(entry, std::ios::binary | std::ios::trunc);
            out << "[Desktop Entry]\n"
                << "Type=Application\n"
                << "Name=" << DesktopEntryString(Name()) << "\n"
                << "Exec=" << DesktopEntryExec(targetPath) << "\n";
            out.close();
            if (!out) {
                return false;
            }
        }
        // File managers start only entries their owner may execute.
        fs::permissions(entry, fs::perms::owner_all, fs::perm_options::replace);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool XdgShortcut::CopyTo(const std::string& destinationFolder, const std::string& newName) {
    if (!IsPlainName(Name()) || !IsPlainName(newName)) {
        return false;
    }
    try {
        std::string extension;
        const fs::path source = ExistingShortcut(folder_, Name(), &extension);
        const fs::path target = fs::path(destinationFolder) / (newName + extension);
        return fs::copy_file(source, target, fs::copy_options::none);
    } catch (const std::exception&) {
        return false;
    }
}

bool XdgShortcut::Remove(const std::string& folder, const std::string& name) {
    if (!IsPlainName(name)) {
        return false;
    }
    try {
        std::string extension;
        const fs::path file = ExistingShortcut(folder, name, &extension);
        return fs::remove(fs::absolute(file));
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace tvl
