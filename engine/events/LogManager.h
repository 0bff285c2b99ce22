#pragma once

// An EventManager whose records end as lines of one log file per manager:
// "[YYYY-MM-DD HH:MM:SS] " in UTC followed by the record's text. The level of a
// record is a bit mask; a record reaches the file only when it shares a bit
// with the manager's level mask. The file is opened at the first line, in a
// private folder, under a name made of the time of opening, and kept open until
// the manager goes away. A line that cannot be written is dropped: logging
// never fails its producer.
//
// Threading: WriteLine may be called from any thread; a mutex serialises the
// opening of the file and the writing of each whole line, so lines never
// interleave (their order is the order in which they arrive here).

#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>

#include "engine/events/EventManager.h"

namespace tvl {

class SharedFile;
class SharedFileFactory;

class LogManager : public EventManager {
  public:
    static constexpr std::int32_t TransferEventLevel = 1;
    static constexpr std::int32_t FailedWorkLevel = 2;  // RetryableError or Error
    static constexpr std::int32_t RetryLevel = 4;       // a simple work runs again at once
    static constexpr std::int32_t CompletedWorkLevel = 8;
    static constexpr std::int32_t ImportantWorkLevel = 16;  // added to 2, 4 or 8
    // Everything except plain completions of works that are not important.
    static constexpr std::int32_t DefaultLevelMask = -9;

    ~LogManager() override;

    // Appends "[time] " and text (which ends with its own line feed) as one line.
    void WriteLine(std::int32_t level, const std::string& text);

    bool IsLogged(std::int32_t level) const { return (level & levelMask_) != 0; }
    std::int32_t GetLevelMask() const { return levelMask_; }
    const std::string& GetLogsFolder() const { return logsFolder_; }
    // The full path of the open log file; empty while none is open.
    std::string GetLogFilePath();

    // "Log.%Y.%m.%d.%H.%M.%S.txt" in UTC, then "." and n when n is not 0.
    static std::string LogFileName(std::time_t when, unsigned n);
    // "[%Y-%m-%d %H:%M:%S] " in UTC.
    static std::string LinePrefix(std::time_t when);

  protected:
    // logsFolder is relative to the user's temporary directory unless absolute.
    // The factory is not owned and must outlive the manager.
    LogManager(std::uint32_t threadCount, bool drainOnDestroy, std::int32_t levelMask, std::string logsFolder,
               SharedFileFactory* sharedFileFactory);

  private:
    // Called with the mutex held; throws what the folder or the factory throws.
    void OpenFile();

    std::mutex mutex_;
    const std::int32_t levelMask_;
    const std::string logsFolder_;
    SharedFileFactory* const sharedFileFactory_;
    std::shared_ptr<SharedFile> file_;
    std::string filePath_;
};

}  // namespace tvl
