#pragma once

// The MO catalogs compiled into the executable, addressed by the file names
// gettext asks for: Add maps a language code to one of the embedded catalogs
// (resource ids 201 to 218). Add is for set-up on one thread; Load may then be
// called from any thread.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "app/MessageCatalog.h"

namespace tvl {

class EmbeddedMessageCatalog : public MessageCatalog {
public:
    explicit EmbeddedMessageCatalog(std::string domain);

    std::string GetRootPath() const override;
    std::string GetDomain() const override;
    // A copy of the embedded catalog registered under this exact file name;
    // empty when the name is not registered or no catalog has its id.
    std::vector<char> Load(const std::string& fileName) const override;

    // Registers "<root>/<code>/LC_MESSAGES/<domain>.mo". Several codes may share
    // one catalog; a file name registered twice keeps its first id.
    void Add(const std::string& code, std::uint16_t id);

private:
    std::string domain_;
    std::map<std::string, std::uint16_t> files_;
};

}  // namespace tvl
