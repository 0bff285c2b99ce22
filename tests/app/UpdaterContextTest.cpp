#include "app/UpdaterContext.h"

#include <gtest/gtest.h>

#include <vector>

#include "resources/Deployment.h"
#include "tests/support/ScopedEnvironment.h"

namespace tvl {
namespace {

// A string table of the test's own, standing in for a deployment.
class TestModule {
public:
    explicit TestModule(std::vector<DeploymentStringEntry> entries) : entries_(std::move(entries)) {
        entries_.push_back({0, nullptr});
        values_ = CompiledDeployment();
        values_.strings = entries_.data();
    }
    ModuleInstance Instance() const { return &values_; }
    TestModule& WithPublisherKeys(const char* keys) {
        values_.publisherKeys = keys;
        return *this;
    }

private:
    std::vector<DeploymentStringEntry> entries_;
    DeploymentValues values_;
};

const TestModule& StandardModule() {
    static const TestModule module({
        {102, "cdn.example.net"},
        {103, "aaaaaaaaaaaaaaaaaaaaaaaa"},
        {104, "bbbbbbbbbbbbbbbbbbbbbbbb"},
        {105, "de=dddddddddddddddddddddd01;fr=ffffffffffffffffffffff01"},
        {107, "de=skin-de;fr=skin-fr"},
        {108, "cccccccccccccccccccccccc"},
        {109, "de=Produkt;fr=Produit"},
        {110, "de=Ordner;fr=Dossier"},
        {112, "de=Deutsch;fr=Français"},
        {113, "fr"},
    });
    return module;
}

UpdaterContext MakeContext(const std::vector<std::string>& commandLine,
                           const TestModule& module = StandardModule()) {
    return UpdaterContext(module.Instance(), "Brennic Technologies/Talvane Delivery", commandLine);
}

TEST(UpdaterContextCommandLine, DefaultsWithoutValues) {
    const UpdaterContext context = MakeContext({"/opt/updater"});
    EXPECT_EQ(context.executablePath, "/opt/updater");
    EXPECT_EQ(context.packageVersion, "?");
    EXPECT_EQ(context.skinVersion, "?");
    EXPECT_EQ(context.logLevel, -9);
    EXPECT_TRUE(context.elevate);
}

TEST(UpdaterContextCommandLine, ReadsTheThreeValuesAndLaterTokensOverride) {
    const UpdaterContext context = MakeContext({"/opt/updater", "packageVersion=1.0", "skinVersion=s1", "log=7",
                                                "other", "packageVersion=2.0", "log=12"});
    EXPECT_EQ(context.packageVersion, "2.0");
    EXPECT_EQ(context.skinVersion, "s1");
    EXPECT_EQ(context.logLevel, 12);
}

TEST(UpdaterContextCommandLine, PrefixesAreCaseSensitiveAndTokenZeroIsScanned) {
    const UpdaterContext lower = MakeContext({"/opt/updater", "packageversion=3", "LOG=5"});
    EXPECT_EQ(lower.packageVersion, "?");
    EXPECT_EQ(lower.logLevel, -9);

    const UpdaterContext zero = MakeContext({"skinVersion=from-token-zero"});
    EXPECT_EQ(zero.skinVersion, "from-token-zero");
}

TEST(UpdaterContextCommandLine, EmptyPackageVersionIsNotTheMarker) {
    const UpdaterContext context = MakeContext({"/opt/updater", "packageVersion="});
    EXPECT_EQ(context.packageVersion, "");
    EXPECT_EQ(context.ProductVersion(), "");
}

TEST(UpdaterContextCommandLine, BadLogValueStopsTheScanKeepingEarlierValues) {
    const UpdaterContext noDigits =
        MakeContext({"/opt/updater", "skinVersion=s1", "log=abc", "packageVersion=2.0", "skinVersion=s2"});
    EXPECT_EQ(noDigits.skinVersion, "s1");
    EXPECT_EQ(noDigits.packageVersion, "?");
    EXPECT_EQ(noDigits.logLevel, -9);

    const UpdaterContext outOfRange = MakeContext({"/opt/updater", "log=3", "log=4294967296", "log=5"});
    EXPECT_EQ(outOfRange.logLevel, 3);

    const UpdaterContext empty = MakeContext({"/opt/updater", "log=", "packageVersion=2.0"});
    EXPECT_EQ(empty.packageVersion, "?");
}

TEST(UpdaterContextCommandLine, LogValueFollowsStrtoulRulesIn32Bits) {
    EXPECT_EQ(MakeContext({"u", "log=4294967287"}).logLevel, -9);  // 2^32 - 9
    EXPECT_EQ(MakeContext({"u", "log=4294967295"}).logLevel, -1);
    EXPECT_EQ(MakeContext({"u", "log=2147483648"}).logLevel, -2147483647 - 1);
    EXPECT_EQ(MakeContext({"u", "log=  \t15"}).logLevel, 15);
    EXPECT_EQ(MakeContext({"u", "log=+6"}).logLevel, 6);
    EXPECT_EQ(MakeContext({"u", "log=-1"}).logLevel, -1);
    EXPECT_EQ(MakeContext({"u", "log=-4294967295"}).logLevel, 1);
    EXPECT_EQ(MakeContext({"u", "log=31xyz"}).logLevel, 31);
    EXPECT_EQ(MakeContext({"u", "log=0x10"}).logLevel, 0);
    EXPECT_EQ(MakeContext({"u", "log=00000000000000000000000017"}).logLevel, 17);
    EXPECT_EQ(MakeContext({"u", "log=-", "log=4"}).logLevel, -9);
}

TEST(UpdaterContextCommandLine, UnreadableCommandLineSetsNothing) {
    const UpdaterContext context = MakeContext({});
    EXPECT_EQ(context.executablePath, "");
    EXPECT_EQ(context.packageVersion, "?");
    EXPECT_EQ(context.logLevel, -9);
}

TEST(UpdaterContextCommandLine, ProcessArgumentsStartWithTheProgram) {
    const std::vector<std::string> arguments = ProcessArguments();
    ASSERT_FALSE(arguments.empty());
    EXPECT_NE(arguments.front().find("talvane_app_tests"), std::string::npos);
}

TEST(UpdaterContextStrings, FieldsComeFromTheirEntries) {
    const UpdaterContext context = MakeContext({"u"});
    EXPECT_EQ(context.host, "cdn.example.net");
    EXPECT_EQ(context.downloaderPartnerId, "aaaaaaaaaaaaaaaaaaaaaaaa");
    EXPECT_EQ(context.partnerId, "bbbbbbbbbbbbbbbbbbbbbbbb");
    EXPECT_EQ(context.downloaderPackageId, "cccccccccccccccccccccccc");
    EXPECT_EQ(context.initialLanguage, "fr");
    EXPECT_EQ(context.defaultPackageVersion, "");
    ASSERT_EQ(context.languages.size(), 2u);
    EXPECT_EQ(context.languages[1], std::make_pair(std::string("fr"), std::string("Français")));
}

TEST(UpdaterContextStrings, MissingEntriesAreEmpty) {
    const TestModule empty({});
    const UpdaterContext context = MakeContext({"u"}, empty);
    EXPECT_EQ(context.host, "");
    EXPECT_EQ(context.productName, "");
    EXPECT_TRUE(context.languages.empty());
    EXPECT_EQ(LoadResourceString(nullptr, 102), "");
}

TEST(UpdaterContextStrings, EntriesAreLimitedTo254Utf16Units) {
    const std::string ascii(300, 'x');
    std::string wide;  // "é" is one UTF-16 unit in two bytes
    for (int i = 0; i < 300; ++i) {
        wide += "é";
    }
    std::string astral = "x";  // U+1F600 needs a surrogate pair: two units
    for (int i = 0; i < 200; ++i) {
        astral += "\xF0\x9F\x98\x80";
    }
    const TestModule module({{109, ascii.c_str()}, {110, wide.c_str()}, {112, astral.c_str()}});
    EXPECT_EQ(LoadResourceString(module.Instance(), 109), std::string(254, 'x'));
    EXPECT_EQ(LoadResourceString(module.Instance(), 110).size(), 254u * 2);
    // 1 + 126 * 2 = 253 units; the next pair would make 255.
    EXPECT_EQ(LoadResourceString(module.Instance(), 112).size(), 1u + 126 * 4);
}

TEST(UpdaterContextStrings, DataRootIsUnderTheUserTemporaryDirectory) {
    test::ScopedEnvironment environment;
    environment.Set("TMPDIR", "/var/tmp/someone");
    const UpdaterContext context = MakeContext({"u"});
    EXPECT_EQ(context.dataRoot, "/var/tmp/someone/Brennic Technologies/Talvane Delivery");
    EXPECT_EQ(context.dataSubPath, "Brennic Technologies/Talvane Delivery");
}

TEST(PairList, KeepsOnlyWellFormedPiecesInOrder) {
    const PairList pairs = ParsePairList(";;a=1;noequals;b=x=y;;=empty-key;a=2;c=");
    const PairList expected = {{"a", "1"}, {"b", "x=y"}, {"", "empty-key"}, {"a", "2"}, {"c", ""}};
    EXPECT_EQ(pairs, expected);
    EXPECT_TRUE(ParsePairList("").empty());
    EXPECT_EQ(ParsePairList(" k = v "), (PairList{{" k ", " v "}}));
}

TEST(PairList, LocalizedValuePicksTheFirstExactMatch) {
    const std::string names = "de=Produkt;fr=Produit;fr=Zweites";
    EXPECT_EQ(LocalizedValue(names, "fr"), "Produit");
    EXPECT_EQ(LocalizedValue(names, "de"), "Produkt");
    EXPECT_EQ(LocalizedValue(names, "it"), "");
    EXPECT_EQ(LocalizedValue(names, "FR"), "");
    EXPECT_EQ(LocalizedValue(names, ""), names);
    EXPECT_EQ(LocalizedValue("Plain Name", "de"), "");
    EXPECT_EQ(LocalizedValue("Plain Name", ""), "Plain Name");
}

TEST(DownloaderCommandLine, FullStringInOrder) {
    const UpdaterContext context = MakeContext({"u", "packageVersion=5.1", "log=31"});
    EXPECT_EQ(context.BuildDownloaderCommandLine("fr", "main.skn"),
              " /host \"cdn.example.net\""
              " /id \"bbbbbbbbbbbbbbbbbbbbbbbb\""
              " /package \"ffffffffffffffffffffff01\""
              " /name \"Produit\""
              " /folder \"Dossier\""
              " /locale \"fr\""
              " /version \"5.1\""
              " /skin \"skin-fr/main.skn\""
              " /log \"31\"");
}

TEST(DownloaderCommandLine, OptionalPartsAreLeftOut) {
    const TestModule module({{105, "pkg"}, {107, "skin"}, {109, "Name"}, {110, "Folder"}});
    const UpdaterContext context = MakeContext({"u"}, module);
    EXPECT_EQ(context.BuildDownloaderCommandLine("", ""),
              " /package \"pkg\" /name \"Name\" /folder \"Folder\"");
}

TEST(DownloaderCommandLine, PlainValuesVanishOnceALanguageIsSelected) {
    const TestModule module({{105, "pkg"}, {109, "Name"}, {110, "Folder"}});
    const UpdaterContext context = MakeContext({"u"}, module);
    EXPECT_EQ(context.BuildDownloaderCommandLine("it", ""),
              " /package \"\" /name \"\" /folder \"\" /locale \"it\"");
}

TEST(DownloaderCommandLine, VersionFallsBackToTheDefaultAndKeepsAnEmptyValue) {
    const TestModule module({{105, "pkg"}, {106, "4.0"}});
    EXPECT_EQ(MakeContext({"u"}, module).ProductVersion(), "4.0");
    EXPECT_NE(MakeContext({"u"}, module).BuildDownloaderCommandLine("", "").find(" /version \"4.0\""),
              std::string::npos);
    EXPECT_EQ(MakeContext({"u", "packageVersion=3.2"}, module).ProductVersion(), "3.2");

    const std::string emptyVersion = MakeContext({"u", "packageVersion="}).BuildDownloaderCommandLine("", "");
    EXPECT_NE(emptyVersion.find(" /version \"\""), std::string::npos);
}

TEST(DownloaderCommandLine, LogIsLeftOutOnlyForMinusNine) {
    EXPECT_EQ(MakeContext({"u", "log=4294967287"}).BuildDownloaderCommandLine("", "").find("/log"),
              std::string::npos);
    EXPECT_NE(MakeContext({"u", "log=4294967295"}).BuildDownloaderCommandLine("", "").find(" /log \"-1\""),
              std::string::npos);
}

TEST(ServiceSettings, ChangesOnlyWhatTheUpdaterOverrides) {
    const TransferSettings defaults;
    const UpdaterContext context = MakeContext({"u", "log=3"});
    const TransferSettings settings = context.MakeServiceSettings();
    EXPECT_EQ(settings.manifestHost, "cdn.example.net");
    EXPECT_EQ(settings.logLevel, 3);
    EXPECT_EQ(settings.workThreads, defaults.workThreads * 2);
    EXPECT_EQ(settings.rateWindowSeconds, 1);
    EXPECT_EQ(settings.transfersFolder, "Brennic Technologies/Talvane Delivery/transfers");
    EXPECT_EQ(settings.logsFolder, "Brennic Technologies/Talvane Delivery/logs");
    EXPECT_EQ(settings.maxRunningWorks, defaults.maxRunningWorks);
    EXPECT_EQ(settings.parallelWorks, defaults.parallelWorks);
    EXPECT_EQ(settings.geolocationUrl, defaults.geolocationUrl);
    EXPECT_EQ(settings.estimateIntervalMs, defaults.estimateIntervalMs);
}

TEST(ServiceSettings, PublisherKeysComeFromTheModuleAndTheReleaseRecordFromTheDataFolder) {
    const char* const keys =
        "ed25519:AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA= ed25519:BBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBA=";
    TestModule signedModule({{102, "cdn.example.net"}});
    signedModule.WithPublisherKeys(keys);
    const TransferSettings settings = MakeContext({"u"}, signedModule).MakeServiceSettings();
    EXPECT_EQ(settings.publisherKeys, keys);
    EXPECT_EQ(settings.acceptedReleasesFolder, "Brennic Technologies/Talvane Delivery/accepted-releases");

    TestModule unsignedModule({});
    unsignedModule.WithPublisherKeys("");
    EXPECT_EQ(MakeContext({"u"}, unsignedModule).MakeServiceSettings().publisherKeys, "");
}

TEST(ServiceSettings, EmptyHostKeepsTheDefaultAndNoLogMeansMinusNine) {
    const TestModule module({});
    const TransferSettings settings = MakeContext({"u"}, module).MakeServiceSettings();
    EXPECT_EQ(settings.manifestHost, TransferSettings().manifestHost);
    EXPECT_EQ(settings.logLevel, -9);
}

}  // namespace
}  // namespace tvl
