#include "app/EmbeddedMessageCatalog.h"

#include <utility>

#include "resources/MessageCatalogs.h"

namespace tvl {

EmbeddedMessageCatalog::EmbeddedMessageCatalog(std::string domain) : domain_(std::move(domain)) {}

std::string EmbeddedMessageCatalog::GetRootPath() const { return std::string(); }

std::string EmbeddedMessageCatalog::GetDomain() const { return domain_; }

std::vector<char> EmbeddedMessageCatalog::Load(const std::string& fileName) const {
    const auto file = files_.find(fileName);
    if (file == files_.end()) {
        return {};
    }
    const EmbeddedMessageCatalogData data = FindEmbeddedMessageCatalog(file->second);
    if (data.bytes == nullptr) {
        return {};
    }
    return std::vector<char>(data.bytes, data.bytes + data.size);
}

void EmbeddedMessageCatalog::Add(const std::string& code, std::uint16_t id) {
    files_.emplace(GetRootPath() + "/" + code + "/LC_MESSAGES/" + domain_ + ".mo", id);
}

}  // namespace tvl
