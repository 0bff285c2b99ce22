#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <locale>
#include <string>

#include "app/CustomBoostLocale.h"
#include "app/EmbeddedMessageCatalog.h"
#include "app/LocaleMessages.h"
#include "app/TalvaneUpdater.h"
#include "app/TalvaneUpdaterMessages.h"
#include "tests/app/MoFile.h"
#include "tests/support/ScopedEnvironment.h"

namespace tvl {
namespace {

using namespace LocaleMessages;

// The updater's own catalog, registered as the application does it.
const EmbeddedMessageCatalog& UpdaterCatalog() {
    static const EmbeddedMessageCatalog* catalog = [] {
        auto* created = new EmbeddedMessageCatalog("updater");
        TalvaneUpdater().RegisterCatalogs(*created);
        return created;
    }();
    return *catalog;
}

// The text a catalog holds for an id, read straight from the embedded bytes.
std::string CatalogText(unsigned catalog, const std::string& id) {
    return test::ReadEmbeddedCatalog(catalog).at(id);
}

std::string ReplaceFirst(std::string text, const std::string& placeholder, const std::string& value) {
    const auto at = text.find(placeholder);
    EXPECT_NE(at, std::string::npos) << text;
    return at == std::string::npos ? text : text.replace(at, placeholder.size(), value);
}

class EnglishLocale : public ::testing::Test {
protected:
    CustomBoostLocale locale_{UpdaterCatalog(), "en_US.UTF-8"};
};

TEST_F(EnglishLocale, TimeRemainingAroundTheMinuteAndHourBoundaries) {
    const struct {
        std::int32_t seconds;
        const char* text;
    } cases[] = {
        {-1, "Calculating time remaining"},
        {0, "0 seconds remaining"},
        {1, "1 second remaining"},
        {2, "2 seconds remaining"},
        {59, "59 seconds remaining"},
        {60, "1 minute remaining"},
        // Above a minute the wording rounds up to the next minute.
        {61, "2 minutes remaining"},
        {120, "3 minutes remaining"},
        {3540, "1 hour remaining"},
        {3599, "1 hour remaining"},
        {3600, "1 hour, 1 minute remaining"},
        {3660, "1 hour, 2 minutes remaining"},
        {7199, "2 hours remaining"},
        {7200, "2 hours, 1 minute remaining"},
        {7260, "2 hours, 2 minutes remaining"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(locale_.FormatTimeRemaining(c.seconds), c.text) << c.seconds << " s";
    }
}

TEST_F(EnglishLocale, NegativeEstimatesOtherThanMinusOneReadAsZeroSeconds) {
    for (std::int32_t seconds : {-2, -59, -61, -3600, -3661, -7200, INT32_MIN}) {
        EXPECT_EQ(locale_.FormatTimeRemaining(seconds), "0 seconds remaining") << seconds << " s";
    }
}

TEST_F(EnglishLocale, LargestEstimateDoesNotOverflowWhenRoundedUp) {
    // 2147483647 + 60 s = 596523 h 15 min 7 s.
    EXPECT_EQ(locale_.FormatTimeRemaining(INT32_MAX), "596523 hours, 15 minutes remaining");
}

TEST_F(EnglishLocale, DurationPicksTheWordingForEachCombination) {
    EXPECT_EQ(locale_.FormatDuration(3, 2, 9), "3 hours, 2 minutes remaining");
    EXPECT_EQ(locale_.FormatDuration(3, 1, 9), "3 hours, 1 minute remaining");
    EXPECT_EQ(locale_.FormatDuration(3, 0, 9), "3 hours remaining");
    EXPECT_EQ(locale_.FormatDuration(1, 45, 9), "1 hour, 45 minutes remaining");
    EXPECT_EQ(locale_.FormatDuration(1, 1, 9), "1 hour, 1 minute remaining");
    EXPECT_EQ(locale_.FormatDuration(1, 0, 9), "1 hour remaining");
    EXPECT_EQ(locale_.FormatDuration(0, 12, 9), "12 minutes remaining");
    EXPECT_EQ(locale_.FormatDuration(0, 1, 9), "1 minute remaining");
    EXPECT_EQ(locale_.FormatDuration(0, 0, 9), "9 seconds remaining");
    EXPECT_EQ(locale_.FormatDuration(0, 0, 1), "1 second remaining");
    EXPECT_EQ(locale_.FormatDuration(0, 0, -4), "0 seconds remaining");
}

TEST_F(EnglishLocale, SizesSwitchUnitsAtOneMebibyteAndOneGibibyte) {
    EXPECT_EQ(locale_.FormatSize(0), "0 KB");
    EXPECT_EQ(locale_.FormatSize(1536), "2 KB");
    // The quotient rounds up at 0 decimals rather than switching unit early.
    EXPECT_EQ(locale_.FormatSize(1048575), "1024 KB");
    EXPECT_EQ(locale_.FormatSize(1048576), "1.00 MB");
    EXPECT_EQ(locale_.FormatSize(1073741823), "1024.00 MB");
    EXPECT_EQ(locale_.FormatSize(1073741824), "1.00 GB");
    EXPECT_EQ(locale_.FormatSize(5905580032ull), "5.50 GB");
    EXPECT_EQ(locale_.FormatSize(UINT64_MAX), "17179869184.00 GB");
}

TEST_F(EnglishLocale, NumbersAndPercentages) {
    EXPECT_EQ(locale_.FormatNumber(3.14159, 2), "3.14");
    EXPECT_EQ(locale_.FormatNumber(-1.25, 1), "-1.2");
    EXPECT_EQ(locale_.FormatNumber(1234567.0, 0), "1234567");
    EXPECT_EQ(locale_.FormatPercent(0.256, 1), "25.6%");
    EXPECT_EQ(locale_.FormatPercent(1.0, 0), "100%");
}

struct CommaDecimal : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
    char do_thousands_sep() const override { return '.'; }
    std::string do_grouping() const override { return "\3"; }
};

TEST_F(EnglishLocale, NumbersIgnoreTheProcessWideLocale) {
    const std::locale previous = std::locale::global(std::locale(std::locale::classic(), new CommaDecimal));
    const std::string number = locale_.FormatNumber(1234.5, 1);
    const std::string size = locale_.FormatSize(1572864);
    std::locale::global(previous);
    EXPECT_EQ(number, "1234.5");
    EXPECT_EQ(size, "1.50 MB");
}

TEST_F(EnglishLocale, UntranslatedIdsComeBackUnchanged) {
    EXPECT_EQ(locale_.GetName(), "en_US.UTF-8");
    EXPECT_EQ(locale_.Translate("{1} Downloader"), "{1} Downloader");
    EXPECT_EQ(locale_.Translate("Not a message id"), "Not a message id");
    EXPECT_EQ(locale_.Format("{1} Downloader", "Talvane Demo"), "Talvane Demo Downloader");
}

TEST_F(EnglishLocale, SubstitutionNeverReplacesInsideAnInsertedArgument) {
    EXPECT_EQ(locale_.Format2(kHoursMinutes, "{2}", "7"), "{2} hours, 7 minutes remaining");
    EXPECT_EQ(locale_.FormatRaw("{1} and {1}", "{1}"), "{1} and {1}");
    EXPECT_EQ(locale_.Format("{1} Downloader {3}", "{1}"), "{1} Downloader {3}");
    EXPECT_EQ(locale_.Format2("{1}{2}{", "a", "b"), "ab{");
}

// Which catalog a language code ends up with; -1 stands for none (English).
struct Fallback {
    const char* code;
    int catalog;
};

class LanguageFallback : public ::testing::TestWithParam<Fallback> {};

TEST_P(LanguageFallback, UsesTheMostSpecificRegisteredCatalog) {
    const std::string id = TalvaneUpdaterMessages().GetErrorMessage(TransferError::InternalError);
    CustomBoostLocale locale(UpdaterCatalog(), GetParam().code);
    EXPECT_EQ(locale.GetName(), GetParam().code);
    const std::string expected = GetParam().catalog < 0 ? id : CatalogText(GetParam().catalog, id);
    EXPECT_EQ(locale.Translate(id), expected);
}

INSTANTIATE_TEST_SUITE_P(Codes, LanguageFallback,
                         ::testing::Values(Fallback{"es_MX.UTF-8", 204}, Fallback{"es_AR.UTF-8", 204},
                                           Fallback{"es_US.UTF-8", 205}, Fallback{"es_ES.UTF-8", 205},
                                           Fallback{"es.UTF-8", 205}, Fallback{"pt_BR.UTF-8", 212},
                                           Fallback{"pt_PT.UTF-8", 212}, Fallback{"zh_HK.UTF-8", 218},
                                           Fallback{"zh_TW.UTF-8", 218}, Fallback{"zh_SG.UTF-8", 217},
                                           Fallback{"zh.UTF-8", 217}, Fallback{"de_AT.UTF-8", 202},
                                           Fallback{"cs_CZ.UTF-8", 201}, Fallback{"th_TH.UTF-8", 215},
                                           Fallback{"en_US.UTF-8", -1}, Fallback{"C", -1}));

TEST(LanguageVariants, SharedLanguagesReadDifferentlyWhereTheyDiffer) {
    const std::string id = TalvaneUpdaterMessages().GetErrorMessage(TransferError::InternalError);
    EXPECT_NE(CatalogText(204, id), CatalogText(205, id));
    EXPECT_NE(CatalogText(217, id), CatalogText(218, id));
}

TEST(TranslatedLocale, UtfEightCodeKeepsNonAsciiText) {
    CustomBoostLocale locale(UpdaterCatalog(), "ru_RU.UTF-8");
    EXPECT_EQ(locale.Translate(kCalculatingTimeRemaining), "Вычисление оставшегося времени");
    EXPECT_EQ(locale.FormatTimeRemaining(7260),
              ReplaceFirst(ReplaceFirst(CatalogText(214, kHoursMinutes), "{1}", "2"), "{2}", "2"));
}

std::string WithoutNonAscii(const std::string& text) {
    std::string ascii;
    for (char c : text) {
        if (static_cast<unsigned char>(c) < 0x80) {
            ascii += c;
        }
    }
    return ascii;
}

TEST(TranslatedLocale, BareCodeOfADeploymentKeepsEveryLetter) {
    // Deployments name languages without a character set; the texts must
    // still arrive whole, accents and other scripts included.
    CustomBoostLocale russian(UpdaterCatalog(), "ru");
    EXPECT_EQ(russian.GetName(), "ru");
    const std::string calculating = CatalogText(214, kCalculatingTimeRemaining);
    ASSERT_NE(calculating, WithoutNonAscii(calculating));
    EXPECT_EQ(russian.Translate(kCalculatingTimeRemaining), calculating);

    CustomBoostLocale german(UpdaterCatalog(), "de");
    const std::string title = TalvaneUpdaterMessages().GetTitle();
    ASSERT_NE(CatalogText(202, title), WithoutNonAscii(CatalogText(202, title)));
    EXPECT_EQ(german.Translate(title), CatalogText(202, title));
    EXPECT_EQ(german.FormatTimeRemaining(61), ReplaceFirst(CatalogText(202, kMinutes), "{1}", "2"));

    CustomBoostLocale serbian(UpdaterCatalog(), "sr@latin");
    EXPECT_EQ(serbian.GetName(), "sr@latin");
}

TEST(TranslatedLocale, FormatTranslatesAnArgumentThatIsAMessageId) {
    CustomBoostLocale locale(UpdaterCatalog(), "de_DE.UTF-8");
    const std::string title = TalvaneUpdaterMessages().GetTitle();
    EXPECT_EQ(locale.Format(title, kOneHour),
              ReplaceFirst(CatalogText(202, title), "{1}", CatalogText(202, kOneHour)));
    EXPECT_EQ(locale.Format(title, "Talvane Demo"),
              ReplaceFirst(CatalogText(202, title), "{1}", "Talvane Demo"));
    EXPECT_EQ(locale.FormatRaw(title, kOneHour), ReplaceFirst(CatalogText(202, title), "{1}", kOneHour));
    EXPECT_EQ(locale.FormatTimeRemaining(-1), CatalogText(202, kCalculatingTimeRemaining));
    EXPECT_EQ(locale.FormatTimeRemaining(59), ReplaceFirst(CatalogText(202, kSeconds), "{1}", "59"));
    EXPECT_EQ(locale.FormatTimeRemaining(3600), CatalogText(202, kOneHourOneMinute));
}

TEST(TranslatedLocale, SetLanguageReplacesTheTranslation) {
    CustomBoostLocale locale(UpdaterCatalog(), "fr_FR.UTF-8");
    EXPECT_EQ(locale.Translate(kOneMinute), CatalogText(206, kOneMinute));
    locale.SetLanguage("it_IT.UTF-8");
    EXPECT_EQ(locale.GetName(), "it_IT.UTF-8");
    EXPECT_EQ(locale.Translate(kOneMinute), CatalogText(207, kOneMinute));
    locale.SetLanguage("en_GB.UTF-8");
    EXPECT_EQ(locale.Translate(kOneMinute), kOneMinute);
}

class DefaultLanguage : public ::testing::Test {
protected:
    std::string TranslatedWithEmptyCode() {
        CustomBoostLocale locale(UpdaterCatalog(), "");
        EXPECT_EQ(locale.GetName(), "");
        return locale.Translate(kOneSecond);
    }

    test::ScopedEnvironment environment_;
};

TEST_F(DefaultLanguage, LcCtypeComesFirst) {
    environment_.Set("LC_CTYPE", "ja_JP.UTF-8");
    environment_.Set("LC_ALL", "ko_KR.UTF-8");
    environment_.Set("LANG", "nl_NL.UTF-8");
    EXPECT_EQ(TranslatedWithEmptyCode(), CatalogText(208, kOneSecond));
}

TEST_F(DefaultLanguage, ThenLcAllThenLang) {
    environment_.Set("LC_CTYPE", "");
    environment_.Set("LC_ALL", "ko_KR.UTF-8");
    environment_.Set("LANG", "nl_NL.UTF-8");
    EXPECT_EQ(TranslatedWithEmptyCode(), CatalogText(209, kOneSecond));
    environment_.Unset("LC_ALL");
    EXPECT_EQ(TranslatedWithEmptyCode(), CatalogText(210, kOneSecond));
}

TEST_F(DefaultLanguage, VariableWithoutEncodingStillTranslates) {
    environment_.Unset("LC_CTYPE");
    environment_.Unset("LC_ALL");
    environment_.Set("LANG", "fr_FR");
    CustomBoostLocale locale(UpdaterCatalog(), "");
    const std::string title = TalvaneUpdaterMessages().GetTitle();
    EXPECT_EQ(locale.Translate(title), WithoutNonAscii(CatalogText(206, title)));
}

TEST_F(DefaultLanguage, NothingSetMeansEnglish) {
    environment_.Unset("LC_CTYPE");
    environment_.Unset("LC_ALL");
    environment_.Unset("LANG");
    EXPECT_EQ(TranslatedWithEmptyCode(), kOneSecond);
}

}  // namespace
}  // namespace tvl
