#pragma once

// A freedesktop desktop entry (name + ".desktop") that starts the updater,
// kept in one folder. Copying and removing also understand internet shortcuts
// (name + ".url") written by others. Used on one thread at a time.

#include <string>

#include "app/SimpleShortcut.h"

namespace tvl {

class XdgShortcut : public SimpleShortcut {
  public:
    XdgShortcut(std::string name, std::string folder);

    // Creates the folder (private to the user) when it is missing and writes
    // a Type=Application entry whose Exec line starts the target.
    bool Create(const std::string& targetPath) override;
    bool CopyTo(const std::string& destinationFolder, const std::string& newName) override;
    bool Remove(const std::string& folder, const std::string& name) override;

    const std::string& Folder() const { return folder_; }

  private:
    std::string folder_;
};

// The Exec value that runs exactly this program path: quoted when it holds a
// character the desktop-entry format reserves, "%" doubled, then escaped as a
// string value.
std::string DesktopEntryExec(const std::string& programPath);
// A string value of a desktop entry: backslashes, line breaks, tabs and a
// leading blank escaped.
std::string DesktopEntryString(const std::string& value);

}  // namespace tvl
