#include "app/SimpleLocale.h"

#include <iomanip>
#include <locale>
#include <sstream>

#include "app/LocaleMessages.h"

namespace tvl {
namespace {

// One pass over the text, so that an argument which itself contains "{1}" or
// "{2}" is inserted as it is and never substituted again.
std::string Substitute(const std::string& text, const std::string* first, const std::string* second) {
    std::string result;
    result.reserve(text.size());
    std::string::size_type position = 0;
    while (position < text.size()) {
        const std::string::size_type brace = text.find('{', position);
        if (brace == std::string::npos) {
            break;
        }
        result.append(text, position, brace - position);
        const std::string* argument = nullptr;
        if (text.compare(brace, 3, "{1}") == 0) {
            argument = first;
        } else if (text.compare(brace, 3, "{2}") == 0) {
            argument = second;
        }
        if (argument != nullptr) {
            result += *argument;
            position = brace + 3;
        } else {
            result += '{';
            position = brace + 1;
        }
    }
    if (position < text.size()) {
        result.append(text, position, std::string::npos);
    }
    return result;
}

}  // namespace

std::string SimpleLocale::Format(const std::string& id, const std::string& argument) const {
    const std::string translated = Translate(argument);
    return Substitute(Translate(id), &translated, nullptr);
}

std::string SimpleLocale::Format2(const std::string& id, const std::string& first,
                                  const std::string& second) const {
    return Substitute(Translate(id), &first, &second);
}

std::string SimpleLocale::FormatRaw(const std::string& id, const std::string& argument) const {
    return Substitute(Translate(id), &argument, nullptr);
}

std::string SimpleLocale::FormatNumber(double value, std::int32_t precision) const {
    std::ostringstream stream;
    // The global C++ locale may have been replaced (GTK, a test); sizes and
    // percentages are always written the same way.
    stream.imbue(std::locale::classic());
    stream << std::fixed << std::setprecision(precision) << value;
    return stream.str();
}

std::string SimpleLocale::FormatPercent(double fraction, std::int32_t precision) const {
    return FormatNumber(fraction * 100.0, precision) + "%";
}

std::string SimpleLocale::FormatSize(std::uint64_t bytes) const {
    constexpr std::uint64_t kMegabyte = 1048576;
    constexpr std::uint64_t kGigabyte = 1073741824;
    const double value = static_cast<double>(bytes);
    if (bytes < kMegabyte) {
        return FormatNumber(value / 1024.0, 0) + " KB";
    }
    if (bytes < kGigabyte) {
        return FormatNumber(value / static_cast<double>(kMegabyte), 2) + " MB";
    }
    return FormatNumber(value / static_cast<double>(kGigabyte), 2) + " GB";
}

std::string SimpleLocale::FormatTimeRemaining(std::int32_t seconds) const {
    if (seconds == -1) {
        return Translate(LocaleMessages::kCalculatingTimeRemaining);
    }
    // 64 bits, so that rounding up near the largest estimate cannot overflow.
    std::int64_t total = seconds;
    if (total > 60) {
        total += 60;
    }
    return FormatDuration(static_cast<std::int32_t>(total / 3600),
                          static_cast<std::int32_t>((total % 3600) / 60),
                          static_cast<std::int32_t>(total % 60));
}

}  // namespace tvl
