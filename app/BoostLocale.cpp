#include "app/BoostLocale.h"

#include <utility>

#include <boost/locale/format.hpp>
#include <boost/locale/message.hpp>

#include "app/LocaleMessages.h"

namespace tvl {

BoostLocale::BoostLocale(std::string domain, std::string rootPath)
    : domain_(std::move(domain)), rootPath_(std::move(rootPath)) {}

std::string BoostLocale::GetName() const { return language_; }

std::string BoostLocale::Translate(const std::string& id) const {
    return boost::locale::translate(id).str(locale_);
}

std::string BoostLocale::FormatDuration(std::int32_t hours, std::int32_t minutes, std::int32_t seconds) const {
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
    language_ = std::move(code);
    locale_ = std::move(locale);
}

}  // namespace tvl
