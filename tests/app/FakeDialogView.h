#pragma once

// A dialog view that records what the dialog shows. RunModal reports the
// window's creation, then runs the test's script (which plays the user and
// the monitor) and returns, as when the user closes the window. Safe from any
// thread.

#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "app/DialogView.h"

namespace tvl::test {

class FakeDialogView : public DialogView {
  public:
    struct Error {
        std::string caption;
        std::string text;
    };

    std::function<void(DialogViewEvents&)> script;

    void RunModal(DialogViewEvents& events) override {
        events.OnViewCreated();
        if (script) {
            script(events);
        }
    }
    void EndModal() override {
        Record([&] { ++endModal; });
    }
    void SetTitle(const std::string& text) override {
        Record([&] { title = text; });
    }
    void SetStatusText(const std::string& text) override {
        Record([&] { statusTexts.push_back(text); });
    }
    void SetProgress(int percent) override {
        Record([&] { progress.push_back(percent); });
    }
    void ShowLanguageChoice(const std::vector<std::string>& names) override {
        Record([&] {
            languageNames = names;
            phases.push_back("language");
        });
    }
    void ShowProgress() override {
        Record([&] { phases.push_back("progress"); });
    }
    void ShowActivity() override {
        Record([&] { phases.push_back("activity"); });
    }
    void ShowError(const std::string& caption, const std::string& text) override {
        Record([&] { errors.push_back({caption, text}); });
    }
    void ServeWhile(const std::function<void()>& work) override { work(); }

    // Read these only while no other thread uses the view.
    int endModal = 0;
    std::string title;
    std::vector<std::string> statusTexts;
    std::vector<int> progress;
    std::vector<std::string> languageNames;
    std::vector<std::string> phases;
    std::vector<Error> errors;

  private:
    template <typename Change>
    void Record(Change change) {
        std::lock_guard<std::mutex> lock(mutex_);
        change();
    }
    std::mutex mutex_;
};

}  // namespace tvl::test
