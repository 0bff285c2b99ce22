#include "app/EmbeddedMessageCatalog.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/TalvaneUpdater.h"
#include "app/TalvaneUpdaterMessages.h"
#include "resources/MessageCatalogs.h"

namespace tvl {
namespace {

std::string FileName(const std::string& code) { return "/" + code + "/LC_MESSAGES/updater.mo"; }

std::vector<char> Embedded(unsigned id) {
    const EmbeddedMessageCatalogData data = FindEmbeddedMessageCatalog(id);
    return data.bytes == nullptr ? std::vector<char>()
                                 : std::vector<char>(data.bytes, data.bytes + data.size);
}

TEST(EmbeddedMessageCatalog, EighteenCatalogsAreEmbedded) {
    for (unsigned id = 201; id <= 218; ++id) {
        EXPECT_GT(Embedded(id).size(), 100u) << id;
    }
    EXPECT_TRUE(Embedded(200).empty());
    EXPECT_TRUE(Embedded(219).empty());
    EXPECT_TRUE(Embedded(0).empty());
}

TEST(EmbeddedMessageCatalog, LoadsByTheFileNameGettextAsksFor) {
    EmbeddedMessageCatalog catalog("updater");
    EXPECT_EQ(catalog.GetRootPath(), "");
    EXPECT_EQ(catalog.GetDomain(), "updater");
    catalog.Add("de", 202);
    EXPECT_EQ(catalog.Load("/de/LC_MESSAGES/updater.mo"), Embedded(202));
    EXPECT_TRUE(catalog.Load("de/LC_MESSAGES/updater.mo").empty());
    EXPECT_TRUE(catalog.Load("/de/LC_MESSAGES/other.mo").empty());
    EXPECT_TRUE(catalog.Load("/DE/LC_MESSAGES/updater.mo").empty());
    EXPECT_TRUE(catalog.Load("").empty());
}

TEST(EmbeddedMessageCatalog, DomainNamesTheFile) {
    EmbeddedMessageCatalog catalog("other");
    catalog.Add("fr", 206);
    EXPECT_EQ(catalog.Load("/fr/LC_MESSAGES/other.mo"), Embedded(206));
    EXPECT_TRUE(catalog.Load(FileName("fr")).empty());
}

TEST(EmbeddedMessageCatalog, AddKeepsTheFirstIdOfAFileName) {
    EmbeddedMessageCatalog catalog("updater");
    catalog.Add("es", 205);
    catalog.Add("es", 204);
    EXPECT_EQ(catalog.Load(FileName("es")), Embedded(205));
}

TEST(EmbeddedMessageCatalog, RegisteredIdWithoutCatalogLoadsNothing) {
    EmbeddedMessageCatalog catalog("updater");
    catalog.Add("xx", 299);
    EXPECT_TRUE(catalog.Load(FileName("xx")).empty());
}

TEST(TalvaneUpdater, RegistersEveryLanguageWithItsCatalog) {
    const struct {
        const char* code;
        unsigned id;
    } table[] = {
        {"cs", 201},    {"de", 202},    {"el", 203},    {"es", 205},    {"es_AR", 204}, {"es_BO", 204},
        {"es_CL", 204}, {"es_CO", 204}, {"es_CR", 204}, {"es_DO", 204}, {"es_EC", 204}, {"es_SV", 204},
        {"es_GT", 204}, {"es_HN", 204}, {"es_MX", 204}, {"es_NI", 204}, {"es_PA", 204}, {"es_PY", 204},
        {"es_PE", 204}, {"es_PR", 204}, {"es_UY", 204}, {"es_VE", 204}, {"es_ES", 205}, {"fr", 206},
        {"it", 207},    {"ja", 208},    {"ko", 209},    {"nl", 210},    {"pl", 211},    {"pt", 212},
        {"ro", 213},    {"ru", 214},    {"th", 215},    {"tr", 216},    {"zh", 217},    {"zh_CN", 217},
        {"zh_SG", 217}, {"zh_TW", 218}, {"zh_HK", 218}, {"zh_MO", 218},
    };
    const TalvaneUpdater updater;
    EmbeddedMessageCatalog catalog(updater.GetMessages().GetDomain());
    updater.RegisterCatalogs(catalog);
    for (const auto& entry : table) {
        EXPECT_EQ(catalog.Load(FileName(entry.code)), Embedded(entry.id)) << entry.code;
    }
    for (const char* unregistered : {"en", "en_US", "es_US", "pt_BR", "zh_Hant", "C"}) {
        EXPECT_TRUE(catalog.Load(FileName(unregistered)).empty()) << unregistered;
    }
}

TEST(TalvaneUpdater, MessagesAreTheDeploymentsTalvaneMessages) {
    const TalvaneUpdater updater;
    const Updater::UpdaterMessages& messages = updater.GetMessages();
    EXPECT_EQ(&messages, &updater.GetMessages());
    EXPECT_EQ(messages.GetDomain(), "updater");
    EXPECT_EQ(messages.GetLaunchFailedMessage(), TalvaneUpdaterMessages().GetLaunchFailedMessage());
}

}  // namespace
}  // namespace tvl
