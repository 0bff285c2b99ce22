#pragma once

// A shortcut file that starts the updater, named after the product package.
// Used on one thread at a time.

#include <string>

namespace tvl {

class SimpleShortcut {
  public:
    virtual ~SimpleShortcut() = default;

    // Writes the shortcut to the target, replacing one of the same name.
    virtual bool Create(const std::string& targetPath) = 0;
    // Copies the shortcut under a new name into another folder; an existing
    // file there makes the copy fail.
    virtual bool CopyTo(const std::string& destinationFolder, const std::string& newName) = 0;
    // Deletes the shortcut of that name in that folder; true when a file was deleted.
    virtual bool Remove(const std::string& folder, const std::string& name) = 0;

    const std::string& Name() const { return name_; }

    SimpleShortcut(const SimpleShortcut&) = delete;
    SimpleShortcut& operator=(const SimpleShortcut&) = delete;

  protected:
    explicit SimpleShortcut(std::string name) : name_(std::move(name)) {}

  private:
    std::string name_;
};

}  // namespace tvl
