#pragma once

// Where the updater's gettext catalogs (MO files) come from. The locale asks
// for a catalog by the file name gettext would open; an implementation answers
// with the file's bytes, so the translations need no file system. Load may be
// called from any thread once the catalog is set up.

#include <string>
#include <vector>

namespace tvl {

class MessageCatalog {
public:
    virtual ~MessageCatalog() = default;

    // Placed before every catalog file name ("" when the files are not on disk).
    virtual std::string GetRootPath() const = 0;
    virtual std::string GetDomain() const = 0;
    // The catalog file's bytes; empty when there is no such file, which the
    // locale takes as "no translation".
    virtual std::vector<char> Load(const std::string& fileName) const = 0;

    MessageCatalog(const MessageCatalog&) = delete;
    MessageCatalog& operator=(const MessageCatalog&) = delete;

protected:
    MessageCatalog() = default;
};

}  // namespace tvl
