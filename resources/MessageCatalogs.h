#pragma once

// The gettext catalogs (MO files) of the updater's translations, compiled from
// resources/translations/*.po at build time and embedded in the program under
// the resource ids 201 to 218. Immutable; safe from any thread.

#include <cstddef>

namespace tvl {

struct EmbeddedMessageCatalogData {
    const char* bytes;  // nullptr when there is no catalog with the id
    std::size_t size;
};

EmbeddedMessageCatalogData FindEmbeddedMessageCatalog(unsigned id);

}  // namespace tvl
