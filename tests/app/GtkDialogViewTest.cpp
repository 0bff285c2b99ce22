// The GTK dialog with the real dialog logic, the real monitor thread and a
// scripted service. Needs a display: skipped without one (the build also runs
// it under xvfb-run when that is installed). Saves a screenshot of the dialog
// while it downloads to $TALVANE_ARTIFACT_DIR (default: the working folder).

#include "app/GtkDialogView.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>
#include <utility>

#include "app/CustomBoostLocale.h"
#include "app/Dialog.h"
#include "app/EmbeddedMessageCatalog.h"
#include "app/TalvaneUpdater.h"
#include "app/TalvaneUpdaterMessages.h"
#include "app/TransferMonitorImpl.h"
#include "engine/service/TransferState.h"
#include "tests/app/FakeTransferContract.h"
#include "tests/support/FileBytes.h"
#include "tests/support/TemporaryFolder.h"

namespace tvl {
namespace {

namespace fs = std::filesystem;

bool DisplayAvailable() {
    static const bool available = gtk_init_check(nullptr, nullptr);
    return available;
}

GtkWindow* FindWindow(const std::function<bool(GtkWindow*)>& match) {
    GList* windows = gtk_window_list_toplevels();
    GtkWindow* found = nullptr;
    for (GList* item = windows; item != nullptr; item = item->next) {
        auto* window = GTK_WINDOW(item->data);
        if (gtk_widget_get_visible(GTK_WIDGET(window)) && match(window)) {
            found = window;
        }
    }
    g_list_free(windows);
    return found;
}

GtkWidget* FindChild(GtkWidget* widget, GType type) {
    if (G_TYPE_CHECK_INSTANCE_TYPE(widget, type) && gtk_widget_get_visible(widget)) {
        return widget;
    }
    if (GTK_IS_CONTAINER(widget)) {
        GList* children = gtk_container_get_children(GTK_CONTAINER(widget));
        GtkWidget* found = nullptr;
        for (GList* item = children; item != nullptr && found == nullptr; item = item->next) {
            found = FindChild(GTK_WIDGET(item->data), type);
        }
        g_list_free(children);
        return found;
    }
    return nullptr;
}

void SaveScreenshot(const std::string& name) {
    const char* dir = std::getenv("TALVANE_ARTIFACT_DIR");
    const fs::path path = fs::path(dir != nullptr ? dir : ".") / name;
    GdkWindow* root = gdk_get_default_root_window();
    GdkPixbuf* shot =
        gdk_pixbuf_get_from_window(root, 0, 0, gdk_window_get_width(root), gdk_window_get_height(root));
    ASSERT_NE(shot, nullptr);
    EXPECT_TRUE(gdk_pixbuf_save(shot, path.c_str(), "png", nullptr, nullptr));
    g_object_unref(shot);
}

// Answers the first message box that comes up with OK, after `inspect` has
// looked at it, polling from the GTK main loop; a poll still scheduled when
// the object goes away is removed with it.
class ErrorBoxAnswerer {
  public:
    explicit ErrorBoxAnswerer(std::function<void(GtkWindow*)> inspect = nullptr) : inspect_(std::move(inspect)) {
        source_ = g_timeout_add(20, &ErrorBoxAnswerer::Poll, this);
    }
    ~ErrorBoxAnswerer() {
        if (!seen_) {
            g_source_remove(source_);
        }
    }
    ErrorBoxAnswerer(const ErrorBoxAnswerer&) = delete;
    ErrorBoxAnswerer& operator=(const ErrorBoxAnswerer&) = delete;

    bool Seen() const { return seen_; }

  private:
    static gboolean Poll(gpointer data) {
        auto* self = static_cast<ErrorBoxAnswerer*>(data);
        GtkWindow* box = FindWindow([](GtkWindow* w) { return GTK_IS_MESSAGE_DIALOG(w); });
        if (box == nullptr) {
            return G_SOURCE_CONTINUE;
        }
        self->seen_ = true;
        if (self->inspect_) {
            self->inspect_(box);
        }
        gtk_dialog_response(GTK_DIALOG(box), GTK_RESPONSE_OK);
        return G_SOURCE_REMOVE;
    }

    std::function<void(GtkWindow*)> inspect_;
    std::atomic<bool> seen_{false};
    guint source_ = 0;
};

class GtkDialogViewTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!DisplayAvailable()) {
            GTEST_SKIP() << "no display";
        }
    }
};

TEST_F(GtkDialogViewTest, TheDialogChoosesALanguageShowsProgressAndErrorsAndLaunches) {
    test::TemporaryFolder folder;
    EmbeddedMessageCatalog catalog("updater");
    TalvaneUpdater().RegisterCatalogs(catalog);
    CustomBoostLocale locale(catalog, "en_US.UTF-8");
    TalvaneUpdaterMessages messages;
    test::FakeTransferContract contract;
    contract.AssignId("dl-package", "dl-id");
    contract.AssignId("skin-fr", "skin-id");
    contract.AssignId("skin-de", "skin-id");
    TransferMonitorImpl monitor(contract, 20);

    UpdaterContext context(nullptr, "sub", {"/opt/talvane/talvane-updater"});
    context.dataRoot = folder.Join("data");
    context.downloaderPartnerId = "dl-partner";
    context.downloaderPackageId = "dl-package";
    context.partnerId = "partner";
    context.skinPackageId = "fr_FR.UTF-8=skin-fr;de_DE.UTF-8=skin-de";
    context.productName = "fr_FR.UTF-8=Talvane Démo;de_DE.UTF-8=Talvane Demo";
    context.packageId = "fr_FR.UTF-8=produit;de_DE.UTF-8=produkt";
    context.languages = {{"fr_FR.UTF-8", "Français"}, {"de_DE.UTF-8", "Deutsch"}};
    const fs::path record = folder.Join("launched.txt");
    fs::create_directories(fs::path(context.dataRoot) / "bin");
    std::ofstream(fs::path(context.dataRoot) / "bin" / "run.sh")
        << "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" << record.string() << "'\n";
    fs::permissions(fs::path(context.dataRoot) / "bin" / "run.sh", fs::perms::owner_all);

    GtkDialogView view;
    Updater::Dialog dialog(contract, monitor, locale, context, messages, view);
    monitor.Start();

    std::atomic<bool> finished{false};
    std::string failure;
    std::thread user([&] {
        // Plays the user and the engine; every wait is bounded.
        auto wait = [&](const std::function<bool()>& condition, const char* what) {
            for (int i = 0; i < 1000 && !condition(); ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            if (!condition() && failure.empty()) {
                failure = what;
            }
            return condition();
        };
        auto onMain = [](std::function<bool()> check) {
            std::atomic<int> result{-1};
            auto* task = new std::function<void()>([&] { result = check() ? 1 : 0; });
            g_idle_add_full(
                G_PRIORITY_DEFAULT,
                [](gpointer data) -> gboolean {
                    (*static_cast<std::function<void()>*>(data))();
                    return G_SOURCE_REMOVE;
                },
                task, [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
            for (int i = 0; i < 500 && result < 0; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            return result == 1;
        };
        const bool languageShown = wait(
            [&] {
                return onMain([] {
                    GtkWindow* window = FindWindow([](GtkWindow* w) { return !GTK_IS_MESSAGE_DIALOG(w); });
                    if (window == nullptr) {
                        return false;
                    }
                    auto* combo = FindChild(GTK_WIDGET(window), GTK_TYPE_COMBO_BOX_TEXT);
                    return combo != nullptr && gtk_combo_box_get_active(GTK_COMBO_BOX(combo)) == 0;
                });
            },
            "language choice");
        if (languageShown) {
            SaveScreenshot("updater-dialog-language.png");
            onMain([] {
                GtkWindow* window = FindWindow([](GtkWindow* w) { return !GTK_IS_MESSAGE_DIALOG(w); });
                gtk_button_clicked(GTK_BUTTON(FindChild(GTK_WIDGET(window), GTK_TYPE_BUTTON)));
                return true;
            });
        }
        if (wait([&] { return contract.Creations().size() == 2; }, "transfers created")) {
            contract.Update("dl-id", [](TransferStatus& s) { s.state = 3; });
            contract.Update("skin-id", [](TransferStatus& s) { s.state = 3; });
            wait([&] { return contract.Starts().size() == 2; }, "transfers started");
            contract.Update("dl-id", [](TransferStatus& s) {
                s.bytesDone = 420;
                s.bytesTotal = 1000;
                s.secondsRemaining = 150;
            });
            const bool progressShown = wait(
                [&] {
                    return onMain([] {
                        GtkWindow* window =
                            FindWindow([](GtkWindow* w) { return !GTK_IS_MESSAGE_DIALOG(w); });
                        auto* bar = window ? FindChild(GTK_WIDGET(window), GTK_TYPE_PROGRESS_BAR) : nullptr;
                        return bar != nullptr && gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(bar)) > 0.41;
                    });
                },
                "progress");
            if (progressShown) {
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                SaveScreenshot("updater-dialog-progress.png");
            }
            contract.Update("dl-id", [](TransferStatus& s) {
                s.state = 7;
                s.runPath = "bin/run.sh";
            });
            contract.Update("skin-id", [](TransferStatus& s) {
                s.state = 7;
                s.runPath = "skin.dat";
            });
        }
        finished = true;
    });

    // A watchdog ends the dialog if the script gets stuck.
    guint watchdog = g_timeout_add(
        20000,
        [](gpointer data) -> gboolean {
            static_cast<Updater::Dialog*>(data)->Close();
            return G_SOURCE_REMOVE;
        },
        &dialog);
    const auto started = std::chrono::steady_clock::now();
    dialog.Run();
    const bool timedOut = std::chrono::steady_clock::now() - started > std::chrono::seconds(19);
    if (!timedOut) {
        g_source_remove(watchdog);
    }
    user.join();
    monitor.Stop();

    EXPECT_TRUE(failure.empty()) << "stuck at " << failure;
    EXPECT_FALSE(timedOut);
    EXPECT_TRUE(finished);
    EXPECT_EQ(locale.GetName(), "fr_FR.UTF-8");
    const std::string launched = test::ReadWholeFile(record);
    EXPECT_THAT(launched, ::testing::HasSubstr("/name\nTalvane Démo\n"));
    EXPECT_THAT(launched, ::testing::HasSubstr("/skin\nskin-fr/skin.dat\n"));
}

TEST_F(GtkDialogViewTest, AnErrorBoxFromTheMonitorThreadIsModalOverTheWindowAndEndsTheDialog) {
    GtkDialogView view;
    class Events : public DialogViewEvents {
      public:
        explicit Events(GtkDialogView& v) : view(v) {}
        void OnViewCreated() override {
            view.SetTitle("Product Downloader");
            worker = std::thread([this] {
                view.ShowProgress();
                view.ShowError("Product Downloader Error", "Something failed.");
                dismissed = true;
                view.EndModal();
            });
        }
        void OnLanguageChosen(int) override {}
        GtkDialogView& view;
        std::thread worker;
        std::atomic<bool> dismissed{false};
    } events(view);

    // Answers the error box once it is up, checking that it belongs to the window.
    std::atomic<bool> boxOwned{false};
    std::atomic<bool> ownerIcon{false};
    ErrorBoxAnswerer answerer([&](GtkWindow* box) {
        GtkWindow* owner = gtk_window_get_transient_for(box);
        boxOwned = owner != nullptr && std::string(gtk_window_get_title(owner)) == "Product Downloader" &&
                   gtk_window_get_modal(box) &&
                   std::string(gtk_window_get_title(box)) == "Product Downloader Error";
        GdkPixbuf* icon = owner != nullptr ? gtk_window_get_icon(owner) : nullptr;
        ownerIcon = icon != nullptr && gdk_pixbuf_get_width(icon) == 32 && gdk_pixbuf_get_height(icon) == 32;
    });
    const auto started = std::chrono::steady_clock::now();
    view.RunModal(events);
    events.worker.join();
    EXPECT_TRUE(answerer.Seen());
    EXPECT_TRUE(boxOwned);
    EXPECT_TRUE(ownerIcon) << "the window icon is the embedded 32 x 32 image";
    EXPECT_TRUE(events.dismissed);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
}

TEST_F(GtkDialogViewTest, AnErrorAfterTheLoopHasEndedIsShownInABoxOfItsOwnWhileTheMainThreadWaits) {
    GtkDialogView view;
    class Events : public DialogViewEvents {
      public:
        explicit Events(GtkDialogView& v) : view(v) {}
        void OnViewCreated() override { view.EndModal(); }
        void OnLanguageChosen(int) override {}
        GtkDialogView& view;
    } events(view);
    view.RunModal(events);

    // As the monitor thread does when a transfer fails just as the window closes.
    std::atomic<bool> modal{false};
    std::string caption;
    ErrorBoxAnswerer answerer([&](GtkWindow* box) {
        modal = gtk_window_get_modal(box) && gtk_window_get_transient_for(box) == nullptr;
        caption = gtk_window_get_title(box);
    });
    testing::internal::CaptureStderr();
    std::thread late([&] { view.ShowError("Caption", "late text"); });
    const auto started = std::chrono::steady_clock::now();
    view.ServeWhile([&] { late.join(); });

    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(answerer.Seen());
    EXPECT_TRUE(modal);
    EXPECT_EQ(caption, "Caption");
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
}

TEST_F(GtkDialogViewTest, AnErrorDuringCreationEndsTheDialogWithoutEnteringTheLoop) {
    GtkDialogView view;
    class Events : public DialogViewEvents {
      public:
        explicit Events(GtkDialogView& v) : view(v) {}
        void OnViewCreated() override {
            view.ShowError("Caption", "The service created nothing.");
            view.EndModal();
        }
        void OnLanguageChosen(int) override {}
        GtkDialogView& view;
    } events(view);
    const ErrorBoxAnswerer answerer;
    const auto started = std::chrono::steady_clock::now();
    view.RunModal(events);
    EXPECT_TRUE(answerer.Seen());
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    EXPECT_EQ(FindWindow([](GtkWindow*) { return true; }), nullptr) << "a window is left on the screen";
}

}  // namespace
}  // namespace tvl
