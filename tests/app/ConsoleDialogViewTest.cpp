#include "app/ConsoleDialogView.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <sstream>
#include <thread>

namespace tvl {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

// Plays the dialog: offers languages when asked to, records the choice and
// ends the loop from another thread, as the monitor thread would.
class Events : public DialogViewEvents {
  public:
    Events(ConsoleDialogView& view, std::vector<std::string> languages)
        : view_(view), languages_(std::move(languages)) {}
    ~Events() {
        if (ender_.joinable()) {
            ender_.join();
        }
    }

    void OnViewCreated() override {
        view_.SetTitle("Product Downloader");
        if (languages_.empty()) {
            Finish();
        } else {
            view_.ShowLanguageChoice(languages_);
        }
    }
    void OnLanguageChosen(int index) override {
        chosen.push_back(index);
        Finish();
    }

    std::vector<int> chosen;

  private:
    void Finish() {
        ender_ = std::thread([this] {
            view_.ShowProgress();
            view_.SetProgress(25);
            view_.SetStatusText("3 minutes remaining");
            view_.SetProgress(26);
            view_.SetProgress(100);
            view_.EndModal();
        });
    }
    ConsoleDialogView& view_;
    std::vector<std::string> languages_;
    std::thread ender_;
};

// The answers come from a stream in tests and from the terminal's descriptor
// in the program; both are read the same way.
TEST(ConsoleDialogViewTest, ANumberedPromptReadsTheChoiceAndAsksAgainAfterNonsense) {
    const std::string answers = "7\nabc\n2 x\n2\n3\n";
    for (const bool fromDescriptor : {false, true}) {
        SCOPED_TRACE(fromDescriptor ? "descriptor" : "stream");
        std::istringstream in(fromDescriptor ? "" : answers);
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        ASSERT_EQ(write(fds[1], answers.data(), answers.size()), static_cast<ssize_t>(answers.size()));
        std::ostringstream out, err;
        {
            ConsoleDialogView view(in, out, err, true, false, fromDescriptor ? fds[0] : -1);
            Events events(view, {"English", "Deutsch", "Français"});
            view.RunModal(events);
            EXPECT_THAT(events.chosen, ElementsAre(1));
        }
        EXPECT_THAT(out.str(),
                    HasSubstr("Please select the language for your download:\n  1) English\n  2) Deutsch\n"
                              "  3) Français\n"));
        EXPECT_TRUE(err.str().empty());
        if (fromDescriptor) {
            // Nothing beyond the answer's line was taken from the input.
            char rest[4] = {};
            EXPECT_EQ(read(fds[0], rest, sizeof rest), 2);
            EXPECT_EQ(std::string(rest, 2), "3\n");
        }
        close(fds[0]);
        close(fds[1]);
    }
}

// Ctrl-C at the prompt: the signal's end request must not wait for an answer.
TEST(ConsoleDialogViewTest, AnEndRequestedWhileThePromptWaitsForAnAnswerEndsIt) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::istringstream in;
    std::ostringstream out, err;
    std::thread ender;
    {
        ConsoleDialogView view(in, out, err, true, false, fds[0]);
        class Events : public DialogViewEvents {
          public:
            explicit Events(ConsoleDialogView& v) : view(v) {}
            void OnViewCreated() override { view.ShowLanguageChoice({"English", "Deutsch"}); }
            void OnLanguageChosen(int) override { ++chosen; }
            ConsoleDialogView& view;
            int chosen = 0;
        } events(view);
        ender = std::thread([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            view.EndModal();
        });
        const auto started = std::chrono::steady_clock::now();
        view.RunModal(events);
        ender.join();
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
        EXPECT_EQ(events.chosen, 0);
    }
    EXPECT_THAT(out.str(), HasSubstr("[1-2, Enter for 1]: "));
    close(fds[0]);
    close(fds[1]);
}

TEST(ConsoleDialogViewTest, TheFirstEntryIsTakenWithoutAnInteractiveInputOrAnAnswer) {
    for (const bool interactive : {false, true}) {
        std::istringstream in(interactive ? "" : "3\n");
        std::ostringstream out, err;
        ConsoleDialogView view(in, out, err, interactive, false);
        Events events(view, {"English", "Deutsch", "Français"});
        view.RunModal(events);
        EXPECT_THAT(events.chosen, ElementsAre(0)) << "interactive " << interactive;
    }
    std::istringstream in("\n");
    std::ostringstream out, err;
    ConsoleDialogView view(in, out, err, true, false);
    Events events(view, {"English", "Deutsch"});
    view.RunModal(events);
    EXPECT_THAT(events.chosen, ElementsAre(0)) << "Enter keeps the preselected entry";
}

TEST(ConsoleDialogViewTest, OnATerminalTheProgressLineIsRedrawnInPlace) {
    std::istringstream in;
    std::ostringstream out, err;
    ConsoleDialogView view(in, out, err, false, true);
    Events events(view, {});
    view.RunModal(events);

    const std::string text = out.str();
    EXPECT_THAT(text, HasSubstr("== Product Downloader ==\n"));
    EXPECT_THAT(text, HasSubstr("\r[#######-----------------------]  25%  3 minutes remaining"));
    EXPECT_THAT(text, HasSubstr("\r[##############################] 100%  3 minutes remaining\n"));
}

TEST(ConsoleDialogViewTest, WithoutATerminalALineIsWrittenPerTenthOfTheDownload) {
    std::istringstream in;
    std::ostringstream out, err;
    ConsoleDialogView view(in, out, err, false, false);
    Events events(view, {});
    view.RunModal(events);

    const std::string text = out.str();
    EXPECT_THAT(text, Not(HasSubstr("\r")));
    EXPECT_THAT(text, HasSubstr("[#######-----------------------]  25%  \n"));
    EXPECT_THAT(text, Not(HasSubstr(" 26%"))) << "same tenth as 25%";
    EXPECT_THAT(text, HasSubstr(" 100%  3 minutes remaining\n"));
}

TEST(ConsoleDialogViewTest, ErrorsGoToTheErrorStreamAndActivityShowsTheStatusAlone) {
    std::istringstream in;
    std::ostringstream out, err;
    ConsoleDialogView view(in, out, err, false, false);
    view.ShowError("Product Downloader Error", "We couldn't establish a connection.");
    view.ShowActivity();
    view.SetStatusText("Launching Product Downloader");
    EXPECT_EQ(err.str(), "Product Downloader Error: We couldn't establish a connection.\n");
    EXPECT_EQ(out.str(), "Launching Product Downloader\n");
}

TEST(ConsoleDialogViewTest, AnEndRequestedDuringCreationEndsTheLoopAtOnce) {
    class EndAtOnce : public DialogViewEvents {
      public:
        explicit EndAtOnce(ConsoleDialogView& view) : view_(view) {}
        void OnViewCreated() override {
            view_.ShowLanguageChoice({"English"});
            view_.EndModal();
        }
        void OnLanguageChosen(int) override { ++chosen; }
        int chosen = 0;

      private:
        ConsoleDialogView& view_;
    };
    std::istringstream in("1\n");
    std::ostringstream out, err;
    ConsoleDialogView view(in, out, err, true, false);
    EndAtOnce events(view);
    view.RunModal(events);
    EXPECT_EQ(events.chosen, 0);
}

}  // namespace
}  // namespace tvl
