// Every embedded translation must carry exactly the ids the updater asks for,
// with the same placeholders; a text changed in the messages class, an id
// missing from a .po file or a translation that lost "{1}" fails here.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include <boost/locale/encoding_utf.hpp>

#include "app/LocaleMessages.h"
#include "app/TalvaneUpdaterMessages.h"
#include "resources/Deployment.h"
#include "tests/app/MoFile.h"

namespace tvl {
namespace {

using test::MoEntries;

std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) {
        ++count;
    }
    return count;
}

// The "{N}" placeholders of a text in order of their numbers, e.g. "{1}{1}{2}".
std::string Placeholders(const std::string& text) {
    std::vector<std::string> found;
    for (auto open = text.find('{'); open != std::string::npos; open = text.find('{', open + 1)) {
        const auto close = text.find('}', open);
        if (close != std::string::npos) {
            found.push_back(text.substr(open, close - open + 1));
        }
    }
    std::sort(found.begin(), found.end());
    std::string joined;
    for (const auto& placeholder : found) {
        joined += placeholder;
    }
    return joined;
}

bool IsUtf8(const std::string& text) {
    try {
        boost::locale::conv::utf_to_utf<char32_t>(text, boost::locale::conv::stop);
        return true;
    } catch (const boost::locale::conv::conversion_error&) {
        return false;
    }
}

// What is wrong with a catalog, one line per problem; empty when it is sound.
std::vector<std::string> CatalogProblems(const MoEntries& entries, const std::vector<std::string>& ids,
                                         const std::string& supportHost) {
    std::vector<std::string> problems;
    const auto header = entries.find("");
    if (header == entries.end() || header->second.find("charset=UTF-8") == std::string::npos) {
        problems.push_back("no UTF-8 header");
    }
    for (const auto& id : ids) {
        const auto entry = entries.find(id);
        if (entry == entries.end() || entry->second.empty()) {
            problems.push_back("missing: " + id);
            continue;
        }
        const std::string& text = entry->second;
        if (Placeholders(text) != Placeholders(id)) {
            problems.push_back("placeholders differ: " + id + " -> " + text);
        }
        if (Count(text, supportHost) != Count(id, supportHost)) {
            problems.push_back("support host differs: " + id + " -> " + text);
        }
        if (!IsUtf8(text)) {
            problems.push_back("not UTF-8: " + id);
        }
    }
    for (const auto& [id, text] : entries) {
        if (!id.empty() && std::find(ids.begin(), ids.end(), id) == ids.end()) {
            problems.push_back("unknown id: " + id);
        }
    }
    return problems;
}

std::vector<std::string> UpdaterIds() { return TranslatedMessageIds(TalvaneUpdaterMessages()); }

TEST(TranslationCatalogs, UpdaterAsksForTwentyTwoIds) {
    const auto ids = UpdaterIds();
    EXPECT_EQ(ids.size(), 22u);
    EXPECT_NE(std::find(ids.begin(), ids.end(),
                        TalvaneUpdaterMessages().GetErrorMessage(TransferError::AuthenticityError)),
              ids.end());
    EXPECT_NE(std::find(ids.begin(), ids.end(), LocaleMessages::kCalculatingTimeRemaining), ids.end());
    EXPECT_NE(std::find(ids.begin(), ids.end(), TalvaneUpdaterMessages().GetLaunchFailedMessage()),
              ids.end());
}

TEST(TranslationCatalogs, EveryCatalogCarriesEveryIdWithItsPlaceholders) {
    const auto ids = UpdaterIds();
    const std::string host = CompiledDeployment().supportHost;
    ASSERT_FALSE(host.empty());
    for (unsigned id = 201; id <= 218; ++id) {
        const MoEntries entries = test::ReadEmbeddedCatalog(id);
        EXPECT_EQ(entries.size(), ids.size() + 1) << "catalog " << id;
        for (const auto& problem : CatalogProblems(entries, ids, host)) {
            ADD_FAILURE() << "catalog " << id << ": " << problem;
        }
    }
}

TEST(TranslationCatalogs, CatalogsAreTranslationsNotCopies) {
    // A catalog left in English would pass the id checks; no two catalogs are alike either.
    const TalvaneUpdaterMessages messages;
    const std::string unexpectedId = messages.GetErrorMessage(TransferError::InternalError);
    const std::string unverifiedId = messages.GetErrorMessage(TransferError::AuthenticityError);
    std::map<std::string, unsigned> titles;
    std::map<std::string, unsigned> unverifiedTexts;
    for (unsigned id = 201; id <= 218; ++id) {
        const MoEntries entries = test::ReadEmbeddedCatalog(id);
        const std::string& error = entries.at(unexpectedId);
        EXPECT_EQ(error.find("An unexpected error occurred"), std::string::npos) << "catalog " << id;
        const auto [previous, inserted] = titles.emplace(error, id);
        EXPECT_TRUE(inserted) << "catalogs " << previous->second << " and " << id << " have the same text";

        // A user shown the generic text after a tampered download would not learn why it was refused.
        const std::string& unverified = entries.at(unverifiedId);
        EXPECT_EQ(unverified.find("couldn't verify"), std::string::npos) << "catalog " << id;
        EXPECT_NE(unverified, error) << "catalog " << id;
        const auto [earlier, added] = unverifiedTexts.emplace(unverified, id);
        EXPECT_TRUE(added) << "catalogs " << earlier->second << " and " << id << " have the same text";
    }
}

TEST(TranslationCatalogs, CheckFindsEachKindOfFault) {
    const std::vector<std::string> ids = {"{1} Downloader", "Visit h.example now", "1 minute remaining"};
    const MoEntries sound = {{"", "Content-Type: text/plain; charset=UTF-8\n"},
                             {"{1} Downloader", "Downloader für {1}"},
                             {"Visit h.example now", "Besuchen Sie h.example"},
                             {"1 minute remaining", "Noch 1 Minute"}};
    EXPECT_TRUE(CatalogProblems(sound, ids, "h.example").empty());

    MoEntries missing = sound;
    missing.erase("1 minute remaining");
    EXPECT_EQ(CatalogProblems(missing, ids, "h.example").size(), 1u);

    MoEntries dropped = sound;
    dropped["{1} Downloader"] = "Downloader";
    EXPECT_EQ(CatalogProblems(dropped, ids, "h.example").size(), 1u);

    MoEntries added = sound;
    added["1 minute remaining"] = "Noch {1} Minute";
    EXPECT_EQ(CatalogProblems(added, ids, "h.example").size(), 1u);

    MoEntries renumbered = sound;
    renumbered["{1} Downloader"] = "Downloader für {2}";
    EXPECT_EQ(CatalogProblems(renumbered, ids, "h.example").size(), 1u);

    MoEntries otherHost = sound;
    otherHost["Visit h.example now"] = "Besuchen Sie other.example";
    EXPECT_EQ(CatalogProblems(otherHost, ids, "h.example").size(), 1u);

    // An id of the messages class that changed: the old id is unknown and the new one missing.
    MoEntries stale = sound;
    stale.erase("Visit h.example now");
    stale["Visit h.example today"] = "Besuchen Sie h.example";
    EXPECT_EQ(CatalogProblems(stale, ids, "h.example").size(), 2u);

    MoEntries broken = sound;
    broken["1 minute remaining"] = "Noch 1 Minute \xC3";
    EXPECT_EQ(CatalogProblems(broken, ids, "h.example").size(), 1u);
}

TEST(TranslationCatalogs, ReaderRejectsDamagedFiles) {
    EXPECT_THROW(test::ReadMoFile("", 0), std::runtime_error);
    const EmbeddedMessageCatalogData real = FindEmbeddedMessageCatalog(202);
    ASSERT_NE(real.bytes, nullptr);
    EXPECT_THROW(test::ReadMoFile(real.bytes, 40), std::runtime_error);
}

}  // namespace
}  // namespace tvl
