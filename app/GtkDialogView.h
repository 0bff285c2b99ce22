#pragma once

// The updater dialog as a GTK 3 window built from the embedded GtkBuilder
// description, with the embedded window icon, centred on the screen. The
// thread that constructs the view must have initialized GTK and runs
// RunModal; the other operations may be called from any thread: from that
// thread they act at once, from another they are handed to the GTK main loop.
// ShowError from another thread waits until the main thread has shown the box
// and the user has dismissed it: the main thread shows them while its modal
// loop runs, in ServeWhile and when the view is destroyed; after the window
// has gone a box stands on its own. Only once the view is destroyed does an
// error text go to standard error.

#include <memory>
#include <string>
#include <vector>

#include "app/DialogView.h"

namespace tvl {

class GtkDialogView : public DialogView {
  public:
    GtkDialogView();
    ~GtkDialogView() override;

    void RunModal(DialogViewEvents& events) override;
    void EndModal() override;
    void SetTitle(const std::string& title) override;
    void SetStatusText(const std::string& text) override;
    void SetProgress(int percent) override;
    void ShowLanguageChoice(const std::vector<std::string>& names) override;
    void ShowProgress() override;
    void ShowActivity() override;
    void ShowError(const std::string& caption, const std::string& text) override;
    void ServeWhile(const std::function<void()>& work) override;

    // The window's state lives apart from the view so that work queued on the
    // main loop stays valid however long it waits.
    struct State;

  private:
    std::shared_ptr<State> state_;
};

}  // namespace tvl
