#pragma once

// What the updater sees of localization: translation of English message ids,
// "{1}"/"{2}" substitution, and the wording of sizes and time estimates. The
// reading operations may be called from several threads at once; SetLanguage
// must not run concurrently with anything else on the same object.

#include <cstdint>
#include <string>

namespace tvl {

class SimpleLocale {
public:
    virtual ~SimpleLocale() = default;

    // The language code last set; empty while the user's default locale is used.
    virtual std::string GetName() const = 0;
    virtual void SetLanguage(const std::string& code) = 0;
    // The translation of an English message id, or the id itself when the
    // current language has none.
    virtual std::string Translate(const std::string& id) const = 0;

    // The translated id with every "{1}" replaced by the translated argument.
    virtual std::string Format(const std::string& id, const std::string& argument) const;
    // The translated id with "{1}" and "{2}" replaced by the arguments as given.
    virtual std::string Format2(const std::string& id, const std::string& first,
                                const std::string& second) const;
    // The translated id with every "{1}" replaced by the argument as given.
    virtual std::string FormatRaw(const std::string& id, const std::string& argument) const;

    // Fixed notation with that many decimals and a "." separator, whatever the
    // language.
    virtual std::string FormatNumber(double value, std::int32_t precision) const;
    virtual std::string FormatPercent(double fraction, std::int32_t precision) const;
    // "N KB" below 1 MiB, "N.NN MB" below 1 GiB, "N.NN GB" from there.
    virtual std::string FormatSize(std::uint64_t bytes) const;
    // -1 means no estimate yet. Above one minute the wording is rounded up to
    // the next minute; negative values read as 0 seconds.
    virtual std::string FormatTimeRemaining(std::int32_t seconds) const;
    virtual std::string FormatDuration(std::int32_t hours, std::int32_t minutes,
                                       std::int32_t seconds) const = 0;

    SimpleLocale(const SimpleLocale&) = delete;
    SimpleLocale& operator=(const SimpleLocale&) = delete;

protected:
    SimpleLocale() = default;
};

}  // namespace tvl
