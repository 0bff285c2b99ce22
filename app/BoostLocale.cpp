#include "app/BoostLocale.h"

#include <cctype>
#include <utility>

#include <boost/locale/encoding.hpp>
#include <boost/locale/format.hpp>
#include <boost/locale/info.hpp>
#include <boost/locale/message.hpp>

#include "app/LocaleMessages.h"

namespace tvl {
namespace {

bool IsUtf8(const std::string& encoding) {
    std::string letters;
    for (char c : encoding) {
        if (std::isalnum(static_cast<unsigned char>(c))) {
            letters += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
    }
    return letters == "utf8";
}

}  // namespace

BoostLocale::BoostLocale(std::string domain, std::string rootPath)
    : domain_(std::move(domain)), rootPath_(std::move(rootPath)) {}

std::string BoostLocale::GetName() const { return language_; }

std::string BoostLocale::Translate(const std::string& id) const {
    std::string text = boost::locale::translate(id).str(locale_);
    if (narrowEncoding_.empty()) {
        return text;
    }
    return boost::locale::conv::between(text, narrowEncoding_, "UTF-8", boost::locale::conv::skip);
}

std::string BoostLocale::FormatDuration(std::int32_t hours, std::int32_t minutes,
                                        std::int32_t seconds) const {
    using namespace LocaleMessages;
    const auto format = [this](const char* id) { return boost::locale::format(Translate(id)); };
    if (hours >= 2) {
        if (minutes >= 2) {
            return (format(kHoursMinutes) % hours % minutes).str(locale_);
        }
        if (minutes == 1) {
            return (format(kHoursOneMinute) % hours).str(locale_);
        }
        return (format(kHours) % hours).str(locale_);
    }
    if (hours == 1) {
        if (minutes >= 2) {
            return (format(kOneHourMinutes) % minutes).str(locale_);
        }
        if (minutes == 1) {
            return format(kOneHourOneMinute).str(locale_);
        }
        return format(kOneHour).str(locale_);
    }
    if (minutes >= 2) {
        return (format(kMinutes) % minutes).str(locale_);
    }
    if (minutes == 1) {
        return format(kOneMinute).str(locale_);
    }
    if (seconds >= 2) {
        return (format(kSeconds) % seconds).str(locale_);
    }
    if (seconds == 1) {
        return format(kOneSecond).str(locale_);
    }
    return (format(kSeconds) % 0).str(locale_);
}

void BoostLocale::Replace(std::string code, std::locale locale) {
    const std::string encoding = std::use_facet<boost::locale::info>(locale).encoding();
    language_ = std::move(code);
    locale_ = std::move(locale);
    narrowEncoding_ = IsUtf8(encoding) ? std::string() : encoding;
}

}  // namespace tvl
