#pragma once

// The window system's side of the updater dialog: the dialog's logic
// (Updater::Dialog) decides what is shown, a view shows it. RunModal runs on
// the main thread; every other operation may be called from any thread, and
// a view hands it to its own user-interface thread when it needs to. Calls
// made after the modal loop has ended change nothing visible, except error
// boxes: the main thread must not wait for a thread that may still show one
// other than through ServeWhile.

#include <functional>
#include <string>
#include <vector>

namespace tvl {

// What a view reports back, always on the thread that runs RunModal.
class DialogViewEvents {
  public:
    // The window exists and is about to be shown.
    virtual void OnViewCreated() = 0;
    // The user confirmed the language list; -1 when nothing is selected.
    virtual void OnLanguageChosen(int index) = 0;

  protected:
    ~DialogViewEvents() = default;
};

class DialogView {
  public:
    virtual ~DialogView() = default;

    // Creates the window, reports OnViewCreated and returns when EndModal is
    // called or the user closes the window.
    virtual void RunModal(DialogViewEvents& events) = 0;
    virtual void EndModal() = 0;

    virtual void SetTitle(const std::string& title) = 0;
    virtual void SetStatusText(const std::string& text) = 0;
    // 0 to 100.
    virtual void SetProgress(int percent) = 0;
    // Offers the names in this order with the first one selected; hides the
    // progress bar and the status text.
    virtual void ShowLanguageChoice(const std::vector<std::string>& names) = 0;
    // Shows the progress bar and the status text, hides the language controls.
    virtual void ShowProgress() = 0;
    // Replaces the progress bar with an activity indicator.
    virtual void ShowActivity() = 0;
    // An error box over the window, or on its own when there is no window;
    // returns once the user has dismissed it.
    virtual void ShowError(const std::string& caption, const std::string& text) = 0;
    // Runs `work` (typically: stop a thread and wait for it) while error boxes
    // that other threads ask for meanwhile are still shown; returns when the
    // work is done. Main thread, after RunModal.
    virtual void ServeWhile(const std::function<void()>& work) = 0;

    DialogView(const DialogView&) = delete;
    DialogView& operator=(const DialogView&) = delete;

  protected:
    DialogView() = default;
};

}  // namespace tvl
