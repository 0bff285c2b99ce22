#include "app/Dialog.h"

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

#include "app/PosixProcess.h"
#include "app/SimpleLocale.h"
#include "app/TransferMonitor.h"
#include "app/UpdaterMessages.h"
#include "app/XdgShortcut.h"
#include "engine/file/UserDirectories.h"
#include "engine/service/TransferContract.h"
#include "engine/service/TransferState.h"
#include "engine/workflow/TransferError.h"

namespace tvl {
namespace Updater {
namespace {

namespace fs = std::filesystem;

std::mutex singletonMutex;
Dialog* singleton = nullptr;

bool IsState(const TransferStatus& status, TransferState state) {
    return status.state == static_cast<std::uint8_t>(state);
}

// A run file reported by a transfer is a path inside its destination; anything
// that could lead elsewhere is refused rather than started.
bool IsInsideDestination(const std::string& runPath) {
    if (runPath.empty()) {
        return false;
    }
    const fs::path path(runPath);
    if (path.is_absolute()) {
        return false;
    }
    for (const fs::path& part : path) {
        if (part == "..") {
            return false;
        }
    }
    return true;
}

}  // namespace

Dialog& Dialog::CreateSingleton(TransferContract& service, TransferMonitor& monitor, SimpleLocale& locale,
                                const UpdaterContext& context, const UpdaterMessages& messages,
                                DialogView& view) {
    std::lock_guard<std::mutex> lock(singletonMutex);
    if (singleton != nullptr) {
        throw std::logic_error("Dialog::CreateSingleton called multiple times");
    }
    singleton = new Dialog(service, monitor, locale, context, messages, view);
    return *singleton;
}

Dialog& Dialog::GetSingleton() {
    std::lock_guard<std::mutex> lock(singletonMutex);
    if (singleton == nullptr) {
        throw std::logic_error("Dialog::GetSingleton called without CreateSingleton");
    }
    return *singleton;
}

Dialog::Dialog(TransferContract& service, TransferMonitor& monitor, SimpleLocale& locale,
               const UpdaterContext& context, const UpdaterMessages& messages, DialogView& view)
    : service_(&service),
      monitor_(&monitor),
      locale_(&locale),
      context_(context),
      messages_(&messages),
      view_(&view),
      running_(false),
      windowOpen_(false),
      endRequested_(false),
      transfersStarted_(false),
      launched_(false),
      downloaderDone_(false),
      skinDone_(false) {}

void Dialog::Run() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (running_) {
            return;
        }
        running_ = true;
    }
    view_->RunModal(*this);
    std::lock_guard<std::mutex> lock(mutex_);
    windowOpen_ = false;
}

void Dialog::Close() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!running_ || !windowOpen_) {
            return;
        }
        windowOpen_ = false;
    }
    view_->EndModal();
}

void Dialog::RequestEnd() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        endRequested_ = true;
        if (!running_ || !windowOpen_) {
            return;  // OnViewCreated sees the request
        }
        windowOpen_ = false;
    }
    view_->EndModal();
}

void Dialog::ShowError(std::uint8_t code) {
    ShowErrorText(locale_->Translate(messages_->GetErrorMessage(static_cast<TransferError>(code))));
}

void Dialog::ShowErrorText(const std::string& text) {
    view_->ShowError(locale_->Format(messages_->GetErrorTitle(), ProductName()), text);
    Close();
}

void Dialog::Retitle() {
    view_->SetTitle(locale_->Format(messages_->GetTitle(), ProductName()));
    view_->SetStatusText(locale_->FormatTimeRemaining(-1));
}

void Dialog::ShowLanguageChoice() {
    std::vector<std::string> names;
    names.reserve(context_.languages.size());
    for (const auto& [code, name] : context_.languages) {
        names.push_back(name);
    }
    view_->ShowLanguageChoice(names);
}

void Dialog::StartTransfers() {
    if (transfersStarted_) {
        return;
    }
    transfersStarted_ = true;
    view_->ShowProgress();

    const TransferStatus downloader =
        service_->CreateTransfer(context_.downloaderPartnerId, context_.downloaderPackageId);
    if (downloader.transferId.empty()) {
        // The engine created nothing; its status carries the reason.
        ShowError(downloader.error);
        return;
    }
    downloaderTransferId_ = downloader.transferId;
    const TransferStatus skin = service_->CreateTransfer(
        context_.partnerId, LocalizedValue(context_.skinPackageId, Language()), context_.skinVersion);
    if (skin.transferId.empty()) {
        ShowError(skin.error);
        return;
    }
    skinTransferId_ = skin.transferId;
    monitor_->Watch(downloaderTransferId_, this);
    monitor_->Watch(skinTransferId_, this);
}

void Dialog::OnProgress(const TransferStatus& status) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!running_ || !windowOpen_ || status.transferId != downloaderTransferId_ ||
            !IsState(status, TransferState::Transferring) || status.error != 0) {
            return;
        }
    }
    int percent = 0;
    if (status.bytesTotal != 0) {
        const double ratio =
            static_cast<double>(status.bytesDone) * 100.0 / static_cast<double>(status.bytesTotal);
        percent = ratio >= 100.0 ? 100 : static_cast<int>(ratio);
    }
    view_->SetProgress(percent);
    view_->SetStatusText(locale_->FormatTimeRemaining(status.secondsRemaining));
}

void Dialog::OnInitialized(const TransferStatus& status) {
    std::string destination = context_.dataRoot;
    if (status.transferId == skinTransferId_) {
        destination =
            (fs::path(context_.dataRoot) / LocalizedValue(context_.skinPackageId, Language())).string();
    }
    if (EnsureFolder(destination)) {
        service_->StartTransfer(status.transferId, destination);
        monitor_->Watch(status.transferId, this);
    } else {
        ShowError(static_cast<std::uint8_t>(TransferError::FileAccessError));
    }
}

void Dialog::OnError(const TransferStatus& status) {
    OnFinished(status);
}

void Dialog::OnFinished(const TransferStatus& status) {
    if (status.transferId == downloaderTransferId_) {
        if (status.error != 0) {
            ShowError(status.error);
        } else if (IsState(status, TransferState::Completed)) {
            downloaderDone_ = true;
            launchFile_ = status.runPath;
        }
    }
    if (status.transferId == skinTransferId_) {
        if (status.error != 0) {
            ShowError(status.error);
        } else if (IsState(status, TransferState::Completed)) {
            skinDone_ = true;
            skinFile_ = status.runPath;
        }
    }
    if (downloaderDone_ && skinDone_ && !launched_) {
        launched_ = true;
        if (Launch()) {
            Close();
        } else {
            ShowErrorText(locale_->Format(messages_->GetLaunchFailedMessage(), ProductName()));
        }
    }
}

bool Dialog::Launch() {
    try {
        view_->ShowActivity();
        view_->SetStatusText(locale_->Format(messages_->GetLaunchingMessage(), ProductName()));
        CreateShortcuts();
        if (!IsInsideDestination(launchFile_) || (!skinFile_.empty() && !IsInsideDestination(skinFile_))) {
            return false;
        }
        PosixProcess process((fs::path(context_.dataRoot) / launchFile_).string());
        return process.Run(true, context_.elevate, BuildDownloaderCommandLine(), std::string());
    } catch (const std::exception&) {
        return false;
    }
}

std::string Dialog::BuildDownloaderCommandLine() const {
    return context_.BuildDownloaderCommandLine(Language(), skinFile_);
}

void Dialog::OnViewCreated() {
    bool open;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        open = windowOpen_ = !endRequested_;
    }
    if (!open) {
        view_->EndModal();
        return;
    }
    Retitle();
    if (context_.languages.empty()) {
        StartTransfers();
    } else {
        ShowLanguageChoice();
    }
}

void Dialog::OnLanguageChosen(int index) {
    if (transfersStarted_) {
        return;
    }
    if (index >= 0 && static_cast<std::size_t>(index) < context_.languages.size()) {
        locale_->SetLanguage(context_.languages[static_cast<std::size_t>(index)].first);
    }
    Retitle();
    StartTransfers();
}

std::string Dialog::Language() const {
    return locale_->GetName();
}

std::string Dialog::ProductName() const {
    return LocalizedValue(context_.productName, Language());
}

bool Dialog::EnsureFolder(const std::string& path) {
    try {
        return CreatePrivateDirectories(path);
    } catch (const std::exception&) {
        return false;
    }
}

namespace {

// The program as the shortcut must start it from anywhere: the first argument
// is only what was typed ("talvane-updater" found on PATH, or "bin/..."
// relative to a folder the shortcut will not start in).
std::string AbsoluteProgramPath(const std::string& typed) {
    if (fs::path(typed).is_absolute()) {
        return typed;
    }
    std::error_code error;
    const fs::path running = fs::read_symlink("/proc/self/exe", error);
    if (!error && running.is_absolute()) {
        return running.string();
    }
    return fs::absolute(typed, error).string();
}

}  // namespace

void Dialog::CreateShortcuts() const {
    XdgShortcut shortcut(LocalizedValue(context_.packageId, Language()),
                         (fs::path(context_.dataRoot) / "shortcuts").string());
    shortcut.Create(AbsoluteProgramPath(context_.executablePath));
}

}  // namespace Updater
}  // namespace tvl
