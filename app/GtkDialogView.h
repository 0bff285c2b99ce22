#pragma once

// The updater dialog as a GTK 3 window built from the embedded GtkBuilder
// description, with the embedded window icon, centred on the screen. The
// thread that constructs the view must have initialized GTK and runs
// RunModal; the other operations may be called from any thread: from that
// thread they act at once, from another they are handed to the GTK main loop.
// ShowError from another thread waits until the box is dismissed, or until
// the modal loop has ended, in which case the text goes to standard error.

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

    // The window's state lives apart from the view so that work queued on the
    // main loop stays valid however long it waits.
    struct State;

  private:
    std::shared_ptr<State> state_;
};

}  // namespace tvl
