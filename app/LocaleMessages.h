#pragma once

// The message ids of the locale's own texts (the time-remaining wording) and
// the full list of ids every translation catalog must carry. The ids are the
// English texts; "{1}" and "{2}" are filled in after translation.

#include <string>
#include <vector>

namespace tvl {

namespace Updater {
class UpdaterMessages;
}

namespace LocaleMessages {

inline constexpr char kCalculatingTimeRemaining[] = "Calculating time remaining";
inline constexpr char kHoursMinutes[] = "{1} hours, {2} minutes remaining";
inline constexpr char kHoursOneMinute[] = "{1} hours, 1 minute remaining";
inline constexpr char kHours[] = "{1} hours remaining";
inline constexpr char kOneHourMinutes[] = "1 hour, {1} minutes remaining";
inline constexpr char kOneHourOneMinute[] = "1 hour, 1 minute remaining";
inline constexpr char kOneHour[] = "1 hour remaining";
inline constexpr char kMinutes[] = "{1} minutes remaining";
inline constexpr char kOneMinute[] = "1 minute remaining";
inline constexpr char kSeconds[] = "{1} seconds remaining";
inline constexpr char kOneSecond[] = "1 second remaining";

}  // namespace LocaleMessages

// Every id a translation catalog carries, each once: the texts of the messages
// object (all error codes included) followed by the locale's time texts.
std::vector<std::string> TranslatedMessageIds(const Updater::UpdaterMessages& messages);

}  // namespace tvl
