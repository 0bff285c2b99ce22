#pragma once

// The updater's locale: boost.locale's gettext translation with the MO files
// taken from a MessageCatalog instead of the file system. The catalog is not
// owned and must outlive the locale. Threading as for BoostLocale.

#include <string>

#include "app/BoostLocale.h"

namespace tvl {

class MessageCatalog;

class CustomBoostLocale : public BoostLocale {
public:
    // An empty code stands for the user's default locale (LC_CTYPE, LC_ALL or
    // LANG, whichever is set first; otherwise C).
    CustomBoostLocale(const MessageCatalog& catalog, const std::string& code);

    // Generates the locale for the code and attaches the catalog's translation
    // for the most specific of language_COUNTRY@variant, language@variant,
    // language_COUNTRY and language that the catalog has. A code without an
    // encoding part gets US-ASCII, which leaves out the translations'
    // non-ASCII characters. Errors of locale generation propagate and leave
    // the current language as it was.
    void SetLanguage(const std::string& code) override;

private:
    const MessageCatalog* catalog_;
};

}  // namespace tvl
