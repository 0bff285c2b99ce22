#include "app/Dialog.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>

#include "app/CustomBoostLocale.h"
#include "app/EmbeddedMessageCatalog.h"
#include "app/TalvaneUpdater.h"
#include "app/TalvaneUpdaterMessages.h"
#include "app/TransferMonitorImpl.h"
#include "engine/service/TransferState.h"
#include "engine/workflow/TransferError.h"
#include "tests/app/FakeDialogView.h"
#include "tests/app/FakeTransferContract.h"
#include "tests/support/FileBytes.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/TemporaryFolder.h"

namespace tvl::Updater {
namespace {

namespace fs = std::filesystem;
using test::FakeDialogView;
using test::FakeTransferContract;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr char kGerman[] = "de_DE.UTF-8";
constexpr char kFrench[] = "fr_FR.UTF-8";

using test::ReadWholeFile;

// A program that writes its working folder and then each argument on a line.
void WriteRecordingScript(const fs::path& script, const fs::path& record) {
    fs::create_directories(script.parent_path());
    std::ofstream out(script);
    out << "#!/bin/sh\npwd > '" << record.string() << "'\nfor a in \"$@\"; do printf '%s\\n' \"$a\" >> '"
        << record.string() << "'; done\n";
    out.close();
    fs::permissions(script, fs::perms::owner_all);
}

class DialogTest : public ::testing::Test {
  protected:
    DialogTest() : catalog_("updater") {
        environment_.Set("LC_CTYPE", "C.UTF-8");
        TalvaneUpdater().RegisterCatalogs(catalog_);
        locale_ = std::make_unique<CustomBoostLocale>(catalog_, "");

        context_ = std::make_unique<UpdaterContext>(nullptr, "Brennic Technologies/Talvane Delivery",
                                                    std::vector<std::string>{"/opt/talvane/talvane-updater"});
        context_->dataRoot = folder_.Join("data");
        context_->downloaderPartnerId = "dl-partner";
        context_->downloaderPackageId = "dl-package";
        context_->partnerId = "skin-partner";
        context_->skinPackageId = "skin-plain";
        context_->skinVersion = "7";
        context_->packageId = "product-package";
        context_->productName = "Talvane Test";
        context_->productFolder = "Talvane Folder";

        contract_.AssignId("dl-package", "dl-id");
        contract_.AssignId("skin-plain", "skin-id");
        contract_.AssignId("skin-de", "skin-id");
    }

    void UseLanguages() {
        context_->languages = {{kGerman, "Deutsch"}, {kFrench, "Français"}};
        context_->initialLanguage = kFrench;
        context_->productName = std::string(kGerman) + "=Produkt;" + kFrench + "=Produit";
        context_->skinPackageId = std::string(kGerman) + "=skin-de;" + kFrench + "=skin-fr";
        context_->packageId = std::string(kGerman) + "=paket;" + kFrench + "=paquet";
        locale_->SetLanguage(kFrench);
    }

    Dialog& MakeDialog() {
        dialog_ = std::make_unique<Dialog>(contract_, monitor_, *locale_, *context_, messages_, view_);
        return *dialog_;
    }

    void SetStatus(const std::string& id, TransferState state, std::uint8_t error = 0, bool retryable = false,
                   const std::string& runPath = std::string()) {
        contract_.Update(id, [&](TransferStatus& status) {
            status.transferId = id;
            status.state = static_cast<std::uint8_t>(state);
            status.error = error;
            status.retryable = retryable;
            status.runPath = runPath;
        });
    }

    void SetProgress(const std::string& id, std::uint64_t done, std::uint64_t total, std::int32_t seconds) {
        contract_.Update(id, [&](TransferStatus& status) {
            status.transferId = id;
            status.state = static_cast<std::uint8_t>(TransferState::Transferring);
            status.error = 0;
            status.bytesDone = done;
            status.bytesTotal = total;
            status.secondsRemaining = seconds;
        });
    }

    // Plays both transfers to Initialized and lets the dialog start them.
    void StartBoth() {
        SetStatus("dl-id", TransferState::Initialized);
        SetStatus("skin-id", TransferState::Initialized);
        monitor_.Poll();
    }

    // Both transfers start and complete in one pass: the downloader with
    // `runPath` as its run file, the skin with `skinPath`.
    void CompleteBoth(const std::string& runPath, const std::string& skinPath) {
        StartBoth();
        SetStatus("dl-id", TransferState::Completed, 0, false, runPath);
        SetStatus("skin-id", TransferState::Completed, 0, false, skinPath);
        monitor_.Poll();
    }

    // The same as the view's whole script, for runs without a language choice.
    void CompleteBothWhenShown(const std::string& runPath, const std::string& skinPath) {
        view_.script = [this, runPath, skinPath](DialogViewEvents&) { CompleteBoth(runPath, skinPath); };
    }

    std::string ErrorCaption() const {
        return locale_->Format(messages_.GetErrorTitle(),
                               LocalizedValue(context_->productName, locale_->GetName()));
    }
    std::string ErrorText(TransferError code) const {
        return locale_->Translate(messages_.GetErrorMessage(code));
    }

    test::ScopedEnvironment environment_;
    test::TemporaryFolder folder_;
    EmbeddedMessageCatalog catalog_;
    std::unique_ptr<CustomBoostLocale> locale_;
    TalvaneUpdaterMessages messages_;
    FakeTransferContract contract_;
    TransferMonitorImpl monitor_{contract_};
    FakeDialogView view_;
    std::unique_ptr<UpdaterContext> context_;
    std::unique_ptr<Dialog> dialog_;
};

TEST_F(DialogTest, WithoutLanguagesBothTransfersAreCreatedAtOnce) {
    Dialog& dialog = MakeDialog();
    view_.script = [&](DialogViewEvents&) { monitor_.Poll(); };
    dialog.Run();

    EXPECT_TRUE(view_.languageNames.empty());
    EXPECT_THAT(view_.phases, ElementsAre("progress"));
    EXPECT_EQ(view_.title, "Talvane Test Downloader");
    ASSERT_FALSE(view_.statusTexts.empty());
    EXPECT_EQ(view_.statusTexts.front(), "Calculating time remaining");
    const auto creations = contract_.Creations();
    ASSERT_EQ(creations.size(), 2u);
    EXPECT_EQ(creations[0].partnerId, "dl-partner");
    EXPECT_EQ(creations[0].packageId, "dl-package");
    EXPECT_EQ(creations[0].versionId, "?");
    EXPECT_EQ(creations[0].arguments, 2);
    EXPECT_EQ(creations[1].partnerId, "skin-partner");
    EXPECT_EQ(creations[1].packageId, "skin-plain");
    EXPECT_EQ(creations[1].versionId, "7");
    EXPECT_EQ(creations[1].arguments, 3);
    // Both are watched: the monitor's pass asked for each.
    EXPECT_EQ(contract_.Polls("dl-id"), 1);
    EXPECT_EQ(contract_.Polls("skin-id"), 1);
    EXPECT_TRUE(contract_.Starts().empty());
    EXPECT_EQ(dialog.BuildDownloaderCommandLine(),
              " /id \"skin-partner\" /package \"product-package\" /name \"Talvane Test\" /folder \"Talvane "
              "Folder\"");
}

TEST_F(DialogTest, LanguageChoiceOffersTheListWithTheFirstEntryAndUsesTheChosenCode) {
    UseLanguages();
    Dialog& dialog = MakeDialog();
    view_.script = [&](DialogViewEvents& events) {
        EXPECT_THAT(view_.languageNames, ElementsAre("Deutsch", "Français"));
        EXPECT_TRUE(contract_.Creations().empty()) << "transfers wait for the language";
        events.OnLanguageChosen(0);  // the preselected first entry, not the initial language
        events.OnLanguageChosen(1);  // a second confirmation changes nothing
    };
    dialog.Run();

    EXPECT_EQ(locale_->GetName(), kGerman);
    EXPECT_THAT(view_.phases, ElementsAre("language", "progress"));
    EXPECT_EQ(view_.title, locale_->Format(messages_.GetTitle(), "Produkt"));
    EXPECT_EQ(view_.statusTexts.back(), locale_->Translate("Calculating time remaining"));
    EXPECT_NE(view_.statusTexts.back(), "Calculating time remaining") << "German catalog not in use";
    const auto creations = contract_.Creations();
    ASSERT_EQ(creations.size(), 2u);
    EXPECT_EQ(creations[1].packageId, "skin-de");
    EXPECT_THAT(dialog.BuildDownloaderCommandLine(), HasSubstr(" /locale \"de_DE.UTF-8\""));
    EXPECT_THAT(dialog.BuildDownloaderCommandLine(), HasSubstr(" /package \"paket\""));
}

TEST_F(DialogTest, InitializedTransfersAreStartedOnceIntoTheirDestinations) {
    UseLanguages();
    Dialog& dialog = MakeDialog();
    view_.script = [&](DialogViewEvents& events) {
        events.OnLanguageChosen(0);
        StartBoth();
        monitor_.Poll();
        monitor_.Poll();
    };
    dialog.Run();

    const fs::path skinFolder = fs::path(context_->dataRoot) / "skin-de";
    EXPECT_THAT(contract_.Starts(), ElementsAre(std::make_pair(std::string("dl-id"), context_->dataRoot),
                                                std::make_pair(std::string("skin-id"), skinFolder.string())));
    EXPECT_TRUE(fs::is_directory(skinFolder));
    struct stat info {};
    ASSERT_EQ(stat(skinFolder.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    // Watched again after the start: every later pass polls both.
    EXPECT_EQ(contract_.Polls("dl-id"), 3);
    EXPECT_EQ(contract_.Polls("skin-id"), 3);
    EXPECT_TRUE(view_.errors.empty());
}

TEST_F(DialogTest, ProgressOfTheDownloaderShowsPercentAndTimeRemaining) {
    Dialog& dialog = MakeDialog();
    view_.script = [&](DialogViewEvents&) {
        StartBoth();
        SetProgress("dl-id", 250, 1000, -1);
        SetProgress("skin-id", 900, 1000, 5);  // the skin's progress is not shown
        monitor_.Poll();
        SetProgress("dl-id", 999, 1000, 61);
        monitor_.Poll();
        SetProgress("dl-id", 5, 0, 3540);  // no total yet
        monitor_.Poll();
        SetProgress("dl-id", 2000, 1000, 1);  // more done than the total
        monitor_.Poll();
    };
    dialog.Run();

    EXPECT_THAT(view_.progress, ElementsAre(25, 99, 0, 100));
    ASSERT_GE(view_.statusTexts.size(), 4u);
    const std::vector<std::string> last(view_.statusTexts.end() - 4, view_.statusTexts.end());
    EXPECT_THAT(last, ElementsAre("Calculating time remaining", "2 minutes remaining", "1 hour remaining",
                                  "1 second remaining"));
}

TEST_F(DialogTest, AnErrorOfTheSkinEndsTheDialogWhileTheDownloaderRuns) {
    UseLanguages();
    Dialog& dialog = MakeDialog();
    view_.script = [&](DialogViewEvents& events) {
        events.OnLanguageChosen(0);
        StartBoth();
        SetProgress("dl-id", 10, 100, 30);
        SetStatus("skin-id", TransferState::Transferring, static_cast<std::uint8_t>(TransferError::DiskFull));
        monitor_.Poll();
        const std::size_t shown = view_.progress.size();
        SetProgress("dl-id", 50, 100, 10);
        monitor_.Poll();
        EXPECT_EQ(view_.progress.size(), shown) << "progress after the dialog closed";
    };
    dialog.Run();

    ASSERT_EQ(view_.errors.size(), 1u);
    EXPECT_EQ(view_.errors[0].caption, ErrorCaption());
    EXPECT_EQ(view_.errors[0].text, ErrorText(TransferError::DiskFull));
    EXPECT_NE(view_.errors[0].text, messages_.GetErrorMessage(TransferError::DiskFull)) << "not translated";
    EXPECT_EQ(view_.endModal, 1);
    EXPECT_TRUE(contract_.OtherCalls().empty()) << "the downloader is left alone";
}

TEST_F(DialogTest, ARetryableErrorIsFinalForTheDialog) {
    Dialog& dialog = MakeDialog();
    view_.script = [&](DialogViewEvents&) {
        StartBoth();
        SetStatus("dl-id", TransferState::Transferring,
                  static_cast<std::uint8_t>(TransferError::ConnectionError), true);
        monitor_.Poll();
        monitor_.Poll();
    };
    dialog.Run();

    ASSERT_EQ(view_.errors.size(), 1u);
    EXPECT_EQ(view_.errors[0].text, messages_.GetErrorMessage(TransferError::ConnectionError));
    EXPECT_EQ(view_.errors[0].caption, "Talvane Test Downloader Error");
    EXPECT_EQ(view_.endModal, 1);
    EXPECT_EQ(contract_.Polls("dl-id"), 2) << "a failed transfer is no longer polled";
    EXPECT_TRUE(contract_.OtherCalls().empty()) << "never retried";
}

TEST_F(DialogTest, AnInitializedTransferWithAnErrorIsStartedAndThenReported) {
    Dialog& dialog = MakeDialog();
    view_.script = [&](DialogViewEvents&) {
        SetStatus("dl-id", TransferState::Initialized, static_cast<std::uint8_t>(TransferError::Geofenced),
                  true);
        monitor_.Poll();
    };
    dialog.Run();

    EXPECT_EQ(contract_.Starts().size(), 1u);
    ASSERT_EQ(view_.errors.size(), 1u);
    EXPECT_EQ(view_.errors[0].text, messages_.GetErrorMessage(TransferError::Geofenced));
}

TEST_F(DialogTest, FinalStatesWithoutErrorLeaveTheDialogAsItIs) {
    Dialog& dialog = MakeDialog();
    view_.script = [&](DialogViewEvents&) {
        StartBoth();
        SetStatus("dl-id", TransferState::Suspended);
        SetStatus("skin-id", TransferState::Canceled);
        monitor_.Poll();
    };
    dialog.Run();

    EXPECT_TRUE(view_.errors.empty());
    EXPECT_EQ(view_.endModal, 0);
    EXPECT_THAT(view_.phases, ElementsAre("progress"));
}

TEST_F(DialogTest, BothTransfersCompleteInOnePassAndTheDownloaderIsLaunched) {
    UseLanguages();
    const fs::path record = fs::path(folder_.Path()) / "arguments.txt";
    WriteRecordingScript(fs::path(context_->dataRoot) / "bin" / "run downloader.sh", record);
    Dialog& dialog = MakeDialog();
    view_.script = [&](DialogViewEvents& events) {
        events.OnLanguageChosen(0);
        CompleteBoth("bin/run downloader.sh", "skin/main.dat");
    };
    dialog.Run();

    EXPECT_TRUE(view_.errors.empty());
    EXPECT_EQ(view_.endModal, 1);
    EXPECT_THAT(view_.phases, ElementsAre("language", "progress", "activity"));
    EXPECT_EQ(view_.statusTexts.back(), locale_->Format(messages_.GetLaunchingMessage(), "Produkt"));
    const std::string expected =
        fs::path(context_->dataRoot).append("bin").string() +
        "\n/id\nskin-partner\n/package\npaket\n/name\nProdukt\n/folder\n\n/locale\n" + kGerman +
        "\n/skin\nskin-de/skin/main.dat\n";
    EXPECT_EQ(ReadWholeFile(record), expected);
    const fs::path shortcut = fs::path(context_->dataRoot) / "shortcuts" / "paket.desktop";
    EXPECT_THAT(ReadWholeFile(shortcut), HasSubstr("\nExec=/opt/talvane/talvane-updater\n"));
}

TEST_F(DialogTest, TheShortcutStartsTheRunningProgramWhenItWasStartedByARelativeName) {
    context_->executablePath = "talvane-updater";  // as found on PATH
    WriteRecordingScript(fs::path(context_->dataRoot) / "bin" / "run.sh", folder_.Join("arguments.txt"));
    Dialog& dialog = MakeDialog();
    CompleteBothWhenShown("bin/run.sh", "skin.dat");
    dialog.Run();

    const std::string entry = ReadWholeFile(fs::path(context_->dataRoot) / "shortcuts" / "product-package.desktop");
    EXPECT_THAT(entry, HasSubstr("\nExec=" + fs::read_symlink("/proc/self/exe").string() + "\n"));
}

TEST_F(DialogTest, ALaunchThatFailsShowsTheLaunchFailedText) {
    Dialog& dialog = MakeDialog();
    CompleteBothWhenShown("missing-program", "skin.dat");
    dialog.Run();

    ASSERT_EQ(view_.errors.size(), 1u);
    EXPECT_EQ(view_.errors[0].text, locale_->Format(messages_.GetLaunchFailedMessage(), "Talvane Test"));
    EXPECT_THAT(view_.errors[0].text, HasSubstr("The Talvane Test Downloader could not be launched. "));
    EXPECT_EQ(view_.endModal, 1);
}

TEST_F(DialogTest, ARunFileOutsideTheDestinationIsNotStarted) {
    // A program beside the data folder that must stay unstarted.
    const fs::path record = fs::path(folder_.Path()) / "escaped.txt";
    WriteRecordingScript(fs::path(folder_.Path()) / "outside.sh", record);
    Dialog& dialog = MakeDialog();
    CompleteBothWhenShown("../outside.sh", "skin.dat");
    dialog.Run();

    EXPECT_FALSE(fs::exists(record));
    ASSERT_EQ(view_.errors.size(), 1u);
    EXPECT_THAT(view_.errors[0].text, HasSubstr("could not be launched"));
}

TEST_F(DialogTest, ADownloadThatCouldNotBeVerifiedIsNotStartedAndSaysSo) {
    // The engine may still name a run file; with the error set it must not run.
    UseLanguages();
    const fs::path record = fs::path(folder_.Path()) / "arguments.txt";
    WriteRecordingScript(fs::path(context_->dataRoot) / "bin" / "run.sh", record);
    Dialog& dialog = MakeDialog();
    view_.script = [&](DialogViewEvents& events) {
        events.OnLanguageChosen(0);
        StartBoth();
        SetStatus("dl-id", TransferState::Completed,
                  static_cast<std::uint8_t>(TransferError::AuthenticityError), false, "bin/run.sh");
        SetStatus("skin-id", TransferState::Completed, 0, false, "skin.dat");
        monitor_.Poll();
    };
    dialog.Run();

    EXPECT_FALSE(fs::exists(record));
    ASSERT_EQ(view_.errors.size(), 1u);
    EXPECT_EQ(view_.errors[0].caption, ErrorCaption());
    EXPECT_EQ(view_.errors[0].text, ErrorText(TransferError::AuthenticityError));
    EXPECT_NE(view_.errors[0].text, messages_.GetErrorMessage(TransferError::AuthenticityError))
        << "not translated";
    EXPECT_NE(view_.errors[0].text, ErrorText(TransferError::InternalError));
    EXPECT_EQ(view_.endModal, 1);
}

TEST_F(DialogTest, AnUnusableDestinationShowsTheDiskWritingText) {
    UseLanguages();
    std::ofstream(folder_.Join("blocker")) << "a file where a folder should be";
    context_->dataRoot = folder_.Join("blocker/data");
    Dialog& dialog = MakeDialog();
    view_.script = [&](DialogViewEvents& events) {
        events.OnLanguageChosen(0);
        StartBoth();
    };
    dialog.Run();

    EXPECT_TRUE(contract_.Starts().empty());
    ASSERT_FALSE(view_.errors.empty());
    EXPECT_EQ(view_.errors[0].caption, ErrorCaption());
    EXPECT_EQ(view_.errors[0].text, ErrorText(TransferError::FileAccessError));
    EXPECT_NE(view_.errors[0].text, messages_.GetErrorMessage(TransferError::FileAccessError));
    EXPECT_EQ(view_.endModal, 1);
}

TEST_F(DialogTest, ATransferTheServiceCannotCreateIsReportedOnce) {
    context_->downloaderPackageId = "unknown-package";
    Dialog& dialog = MakeDialog();
    view_.script = [&](DialogViewEvents&) { monitor_.Poll(); };
    dialog.Run();

    ASSERT_EQ(view_.errors.size(), 1u);
    EXPECT_EQ(view_.errors[0].text, messages_.GetErrorMessage(TransferError::InternalError));
    EXPECT_EQ(contract_.Creations().size(), 1u);
    EXPECT_EQ(contract_.Polls(""), 0);
}

TEST_F(DialogTest, ClosingTheWindowEndsRunAndLaterStatusIsIgnored) {
    Dialog& dialog = MakeDialog();
    view_.script = [&](DialogViewEvents&) { StartBoth(); };
    dialog.Run();
    dialog.Run();  // a second run returns at once

    SetProgress("dl-id", 50, 100, 5);
    monitor_.Poll();
    dialog.Close();
    EXPECT_TRUE(view_.progress.empty());
    EXPECT_EQ(view_.endModal, 0);
}

// A signal asks for the end from its own thread, whenever it comes: while the
// window is open it ends the loop once, before the window opens it keeps the
// transfers from being created at all.
TEST_F(DialogTest, AnEndRequestedBeforeOrWhileTheWindowIsOpenEndsTheDialogOnce) {
    Dialog& dialog = MakeDialog();
    view_.script = [&](DialogViewEvents&) {
        dialog.RequestEnd();
        dialog.RequestEnd();
    };
    dialog.Run();
    EXPECT_EQ(view_.endModal, 1);
    EXPECT_EQ(contract_.Creations().size(), 2u);

    dialog_.reset();
    Dialog& early = MakeDialog();
    view_.endModal = 0;
    view_.script = nullptr;
    early.RequestEnd();
    early.Run();
    EXPECT_EQ(view_.endModal, 1);
    EXPECT_EQ(contract_.Creations().size(), 2u) << "no transfer is created after the request";
}

// The singleton lives until the process ends, so the checks run in a child
// process of their own, which exits with 0 only when all of them hold.
TEST_F(DialogTest, TheSingletonIsCreatedOnce) {
    auto message = [](const std::function<void()>& call) -> std::string {
        try {
            call();
        } catch (const std::logic_error& error) {
            return error.what();
        }
        return "no exception";
    };
    EXPECT_EXIT(
        {
            const std::string before = message([] { Dialog::GetSingleton(); });
            Dialog& created =
                Dialog::CreateSingleton(contract_, monitor_, *locale_, *context_, messages_, view_);
            const bool same = &Dialog::GetSingleton() == &created;
            const std::string second = message(
                [&] { Dialog::CreateSingleton(contract_, monitor_, *locale_, *context_, messages_, view_); });
            std::exit(before == "Dialog::GetSingleton called without CreateSingleton" && same &&
                              second == "Dialog::CreateSingleton called multiple times"
                          ? 0
                          : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace tvl::Updater
