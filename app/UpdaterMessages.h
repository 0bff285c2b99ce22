#pragma once

// Every text the updater shows: the window title, the error caption, the launch
// texts and one text per transfer error code. The English texts are the
// message ids of the translations, and "{1}" stands for the product's display
// name. Immutable after construction; safe from any thread.

#include <string>

#include "engine/workflow/TransferError.h"

namespace tvl {
namespace Updater {

class UpdaterMessages {
public:
    virtual ~UpdaterMessages() = default;
    virtual std::string GetDomain() const = 0;
    virtual std::string GetErrorMessage(TransferError code) const = 0;
    virtual std::string GetTitle() const = 0;
    virtual std::string GetErrorTitle() const = 0;
    virtual std::string GetLaunchingMessage() const = 0;
    virtual std::string GetLaunchFailedMessage() const = 0;

protected:
    UpdaterMessages() = default;
    UpdaterMessages(const UpdaterMessages&) = default;
    UpdaterMessages& operator=(const UpdaterMessages&) = default;
};

}  // namespace Updater
}  // namespace tvl
