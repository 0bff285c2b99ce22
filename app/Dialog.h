#pragma once

// The updater's progress dialog, independent of the window system: it offers
// the language choice, creates and starts the downloader and skin transfers,
// shows the downloader's progress and the time remaining, shows transfer
// errors, and launches the downloaded program when both are complete.
//
// Two threads use it: the main thread runs Run and the view's events; the
// monitor thread runs the TransferMonitorCallback operations and Launch. The
// mutex guards only `running_` and `windowOpen_` and is never held while the
// view, the service or the monitor is called. It also guards `endRequested_`. The transfer ids are written on
// the main thread before the transfers are watched; the completion flags and
// file names only on the monitor thread.

#include <cstdint>
#include <mutex>
#include <string>

#include "app/DialogView.h"
#include "app/TransferMonitorCallback.h"
#include "app/UpdaterContext.h"

namespace tvl {

class SimpleLocale;
class TransferContract;
class TransferMonitor;

namespace Updater {

class UpdaterMessages;

class Dialog : public TransferMonitorCallback, private DialogViewEvents {
  public:
    // The process's one dialog, which lives until the process ends. Throws
    // std::logic_error when called a second time.
    static Dialog& CreateSingleton(TransferContract& service, TransferMonitor& monitor, SimpleLocale& locale,
                                   const UpdaterContext& context, const UpdaterMessages& messages,
                                   DialogView& view);
    // Throws std::logic_error before CreateSingleton.
    static Dialog& GetSingleton();

    // Nothing is owned; all must outlive the dialog's use. The context is copied.
    Dialog(TransferContract& service, TransferMonitor& monitor, SimpleLocale& locale,
           const UpdaterContext& context, const UpdaterMessages& messages, DialogView& view);

    // Shows the dialog and returns when it has ended; a second call returns at once.
    void Run();
    // Ends the modal loop if the window is open; later calls do nothing.
    void Close();
    // Ends the dialog as closing its window does, also when asked before the
    // window has opened: it then closes as soon as it opens, before any
    // transfer is created. For a request from outside the dialog (a signal).
    void RequestEnd();
    // The translated text for a transfer error code, then Close.
    void ShowError(std::uint8_t code);
    // An error box with the product's error caption, then Close.
    void ShowErrorText(const std::string& text);
    void Retitle();
    void ShowLanguageChoice();
    // Creates both transfers and watches them; runs once.
    void StartTransfers();
    // Shows the activity bar, writes the shortcut, starts the downloaded
    // program and waits for it to end. False when it could not be started.
    bool Launch();
    // The argument string for the current language and the skin's run file.
    std::string BuildDownloaderCommandLine() const;

    void OnProgress(const TransferStatus& status) override;
    void OnInitialized(const TransferStatus& status) override;
    void OnError(const TransferStatus& status) override;
    void OnFinished(const TransferStatus& status) override;

  private:
    void OnViewCreated() override;
    void OnLanguageChosen(int index) override;

    std::string Language() const;
    std::string ProductName() const;
    // Destination folders exist, or can be created with their parents.
    static bool EnsureFolder(const std::string& path);
    void CreateShortcuts() const;

    std::mutex mutex_;
    TransferContract* service_;
    TransferMonitor* monitor_;
    SimpleLocale* locale_;
    const UpdaterContext context_;
    const UpdaterMessages* messages_;
    DialogView* view_;
    bool running_;
    bool windowOpen_;
    bool endRequested_;
    bool transfersStarted_;
    bool launched_;
    std::string launchFile_;
    std::string skinFile_;
    std::string downloaderTransferId_;
    std::string skinTransferId_;
    bool downloaderDone_;
    bool skinDone_;
};

}  // namespace Updater
}  // namespace tvl
