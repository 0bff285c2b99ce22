#include "app/Updater.h"

#include <boost/locale/generator.hpp>

#include <memory>

#include "app/CustomBoostLocale.h"
#include "app/Dialog.h"
#include "app/EmbeddedMessageCatalog.h"
#include "app/OpenDialogView.h"
#include "app/ShutdownSignals.h"
#include "app/TransferMonitorImpl.h"
#include "app/UpdaterContext.h"
#include "app/UpdaterMessages.h"
#include "engine/file/UserDirectories.h"
#include "engine/service/TransferService.h"
#include "engine/workflow/TransferError.h"

namespace tvl {
namespace Updater {
namespace {

// The updater's locale. A code whose character set boost.locale does not know
// (a stray LANG when the code is empty, or a deployment's language code)
// makes locale generation throw; the updater then keeps the code, so that
// per-language values and the language passed on still follow it, and shows
// the untranslated texts of the "C" locale instead of ending.
class UpdaterLocale final : public CustomBoostLocale {
  public:
    explicit UpdaterLocale(const MessageCatalog& catalog) : CustomBoostLocale(catalog, "C") {}

    void SetLanguage(const std::string& code) override {
        try {
            CustomBoostLocale::SetLanguage(code);
        } catch (const std::exception&) {
            Replace(code, boost::locale::generator()("C"));
        }
    }
};

bool DataRootUsable(const std::string& dataRoot) {
    try {
        return CreatePrivateDirectories(dataRoot);
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

int Updater::Run(const UpdaterContext& context) {
    // Before the service and the window system start threads, which then
    // leave these signals to the watcher.
    ShutdownSignals signals;
    const UpdaterMessages& messages = GetMessages();
    EmbeddedMessageCatalog catalog(messages.GetDomain());
    RegisterCatalogs(catalog);

    UpdaterLocale locale(catalog);
    locale.SetLanguage(std::string());
    if (!context.languages.empty()) {
        locale.SetLanguage(context.initialLanguage);
    }

    auto service = std::make_unique<TransferService>(context.MakeServiceSettings());
    auto monitor = std::make_unique<TransferMonitorImpl>(*service);
    monitor->Start();

    const std::unique_ptr<DialogView> view = OpenDialogView();
    Dialog& dialog = Dialog::CreateSingleton(*service, *monitor, locale, context, messages, *view);
    // A signal (Ctrl-C, logout, kill) closes the dialog, and the teardown
    // below suspends and stores the transfers as when the user closes it.
    signals.SetHandler([&dialog](int) { dialog.RequestEnd(); });

    if (DataRootUsable(context.dataRoot)) {
        dialog.Run();
    } else {
        dialog.ShowError(static_cast<std::uint8_t>(TransferError::FileAccessError));
    }

    // The monitor goes first so that no callback can reach the service after
    // it is gone; stopping it waits for a launched program to end, and for an
    // error box the monitor thread is showing.
    view->ServeWhile([&monitor] { monitor->Stop(); });
    monitor.reset();
    service.reset();
    // The handler reaches the view through the dialog; a signal from here on
    // only sets the exit status.
    signals.SetHandler(ShutdownSignals::Handler());
    return signals.ExitStatus(0);
}

}  // namespace Updater
}  // namespace tvl
