#pragma once

// The work log of one run of the transfer service: transfer events, work
// completions and retries as lines of compact JSON (see JsonText.h), written by
// two threads of its own. Completions are logged at level 2 when the work
// failed (RetryableError or Error) and 8 otherwise, retries at 4, each plus 16
// when the work describes itself as important. While more than a thousand
// records wait for the log's threads, a completion or retry is written on the
// thread that reports it instead, so that a fast stream of completions waits
// for the disk rather than piling up in memory; its line may then come before
// lines queued earlier.
//
// Threading: CreateRecord, Submit and the two callbacks may be called from any
// thread. The destructor runs every record already submitted before it closes
// the file, so it must not be called from one of the manager's threads.

#include <cstdint>
#include <memory>
#include <string>

#include "engine/events/WorkLogManager.h"

namespace tvl {

class JsonWorkLogManager : public WorkLogManager {
  public:
    // levelMask as in LogManager; logsFolder relative to the user's temporary
    // directory unless absolute; the factory must outlive the manager.
    JsonWorkLogManager(std::int32_t levelMask, std::string logsFolder, SharedFileFactory* sharedFileFactory);
    ~JsonWorkLogManager() override;

    // A JsonLogEventWork whose kind is the record's level.
    std::shared_ptr<TrackEventWork> CreateRecord(std::int32_t level) override;
    void OnWorkComplete(const std::shared_ptr<const Work>& work, const WorkStatus& status) override;
    void OnSimpleWorkRetry(const std::shared_ptr<const SimpleWork>& work, const WorkStatus& status) override;
};

}  // namespace tvl
