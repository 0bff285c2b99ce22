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

namespace {

// A language the deployment names ("de", "pt_BR", "sr@latin") carries no
// character set, which the library would take for US-ASCII and so lose every
// accented letter of the translation. The dialog and the terminal both show
// UTF-8, so such a code is generated as UTF-8. An empty code follows the
// user's environment as it stands.
std::string WithUtf8Unless(const std::string& code) {
    if (code.empty() || code == "C" || code == "POSIX" || code.find('.') != std::string::npos) {
        return code;
    }
    const std::size_t variant = code.find('@');
    if (variant == std::string::npos) {
        return code + ".UTF-8";
    }
    return code.substr(0, variant) + ".UTF-8" + code.substr(variant);
}

}  // namespace

void CustomBoostLocale::SetLanguage(const std::string& code) {
    namespace gettext = boost::locale::gnu_gettext;

    const std::locale generated = boost::locale::generator()(WithUtf8Unless(code));
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
