#include "app/LocaleMessages.h"

#include <algorithm>

#include "app/UpdaterMessages.h"

namespace tvl {

std::vector<std::string> TranslatedMessageIds(const Updater::UpdaterMessages& messages) {
    std::vector<std::string> ids;
    const auto add = [&ids](const std::string& id) {
        if (std::find(ids.begin(), ids.end(), id) == ids.end()) {
            ids.push_back(id);
        }
    };
    add(messages.GetTitle());
    add(messages.GetErrorTitle());
    add(messages.GetLaunchingMessage());
    add(messages.GetLaunchFailedMessage());
    // Every byte value, so that a text given to a new error code is not missed.
    for (int code = 0; code <= 255; ++code) {
        add(messages.GetErrorMessage(static_cast<TransferError>(code)));
    }
    using namespace LocaleMessages;
    for (const char* id : {kCalculatingTimeRemaining, kHoursMinutes, kHoursOneMinute, kHours, kOneHourMinutes,
                           kOneHourOneMinute, kOneHour, kMinutes, kOneMinute, kSeconds, kOneSecond}) {
        add(id);
    }
    return ids;
}

}  // namespace tvl
