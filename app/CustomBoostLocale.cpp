#include "app/CustomBoostLocale.h"

#include <boost/locale/generator.hpp>
#include <boost/locale/gnu_gettext.hpp>
#include <boost/locale/info.hpp>

#include "app/MessageCatalog.h"

namespace tvl {

CustomBoostLocale::CustomBoostLocale(const MessageCatalog& catalog, const std::string& code)
    : BoostLocale(catalog.GetDomain(), catalog.GetRootPath()), catalog_(&catalog) {
    SetLanguage(code);
}

void CustomBoostLocale::SetLanguage(const std::string& code) {
    namespace gettext = boost::locale::gnu_gettext;

    const std::locale generated = boost::locale::generator()(code);
    const auto& info = std::use_facet<boost::locale::info>(generated);

    gettext::messages_info description;
    description.language = info.language();
    description.country = info.country();
    description.variant = info.variant();
    // boost.locale would convert the catalog to the locale's character set
    // itself, but it fails the whole locale on the first character that set
    // cannot hold (any accented letter under a bare code such as "de"). The
    // catalog is loaded as UTF-8 and BoostLocale converts each text, leaving
    // such characters out.
    description.encoding = "UTF-8";
    description.locale_category = "LC_MESSAGES";
    description.paths.push_back(RootPath());
    gettext::messages_info::domain domain;
    domain.name = Domain();
    domain.encoding = "UTF-8";
    description.domains.push_back(domain);
    const MessageCatalog* catalog = catalog_;
    description.callback = [catalog](const std::string& fileName, const std::string&) {
        return catalog->Load(fileName);
    };

    Replace(code, std::locale(generated, gettext::create_messages_facet<char>(description)));
}

}  // namespace tvl
