#include "app/TalvaneUpdater.h"

#include <cstdint>

#include "app/EmbeddedMessageCatalog.h"

namespace tvl {
namespace {

struct CatalogEntry {
    const char* code;
    std::uint16_t id;
};

// 201 cs, 202 de, 203 el, 204 Latin-American Spanish, 205 European Spanish,
// 206 fr, 207 it, 208 ja, 209 ko, 210 nl, 211 pl, 212 pt, 213 ro, 214 ru,
// 215 th, 216 tr, 217 Simplified Chinese, 218 Traditional Chinese. Codes that
// are not listed fall back to their language alone (es_US to es, pt_BR to pt).
const CatalogEntry kCatalogs[] = {
    {"cs", 201},    {"de", 202},    {"el", 203},    {"es", 205},    {"es_AR", 204}, {"es_BO", 204},
    {"es_CL", 204}, {"es_CO", 204}, {"es_CR", 204}, {"es_DO", 204}, {"es_EC", 204}, {"es_SV", 204},
    {"es_GT", 204}, {"es_HN", 204}, {"es_MX", 204}, {"es_NI", 204}, {"es_PA", 204}, {"es_PY", 204},
    {"es_PE", 204}, {"es_PR", 204}, {"es_UY", 204}, {"es_VE", 204}, {"es_ES", 205}, {"fr", 206},
    {"it", 207},    {"ja", 208},    {"ko", 209},    {"nl", 210},    {"pl", 211},    {"pt", 212},
    {"ro", 213},    {"ru", 214},    {"th", 215},    {"tr", 216},    {"zh", 217},    {"zh_CN", 217},
    {"zh_SG", 217}, {"zh_TW", 218}, {"zh_HK", 218}, {"zh_MO", 218},
};

}  // namespace

const Updater::UpdaterMessages& TalvaneUpdater::GetMessages() const { return messages_; }

void TalvaneUpdater::RegisterCatalogs(EmbeddedMessageCatalog& catalog) const {
    for (const CatalogEntry& entry : kCatalogs) {
        catalog.Add(entry.code, entry.id);
    }
}

}  // namespace tvl
