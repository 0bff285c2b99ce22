#pragma once

// Group commit: accepted posts queue here from any thread; one writer thread
// takes everything queued (up to a bound), appends it to the store in one
// transaction, and only then calls each post's completion. So a post is
// answered 2xx only once its records are committed, while one commit (one
// sync of the disk) serves every post that arrived during the previous one.
// Submit and the counters may be used from any thread; completions run on the
// writer thread and must not block.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "tools/talvane-analytics/AnalyticsRecords.h"
#include "tools/talvane-analytics/AnalyticsStore.h"

namespace tvl::analytics {

enum class CommitOutcome {
    Committed,    // every record of the post is in the database
    Refused,      // the database refused a value of this post; nothing of it is stored
    Unavailable,  // the database could not be written, or the committer stopped; nothing stored
};

class GroupCommitter {
public:
    using Completion = std::function<void(CommitOutcome)>;

    // `maxBatchRecords` bounds one transaction, and with it the wait of the
    // posts that queue behind it.
    explicit GroupCommitter(std::unique_ptr<AnalyticsStore> store, std::size_t maxBatchRecords = 20000);
    // Stops, committing first whatever is queued.
    ~GroupCommitter();
    GroupCommitter(const GroupCommitter&) = delete;
    GroupCommitter& operator=(const GroupCommitter&) = delete;

    void Submit(AcceptedPost post, Completion completion);

    // Commits what is queued, answers it, and ends the writer thread. Later
    // posts are answered Unavailable at once. Idempotent.
    void Stop();

    std::uint64_t CommittedPosts() const { return committedPosts_; }
    std::uint64_t CommittedRecords() const { return committedRecords_; }
    std::uint64_t Batches() const { return batches_; }
    std::uint64_t FailedPosts() const { return failedPosts_; }

private:
    struct Pending {
        AcceptedPost post;
        Completion completion;
    };

    void Run();
    void Commit(std::vector<Pending>& batch);

    std::unique_ptr<AnalyticsStore> store_;
    const std::size_t maxBatchRecords_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Pending> queue_;
    bool stopping_ = false;
    std::atomic<std::uint64_t> committedPosts_{0};
    std::atomic<std::uint64_t> committedRecords_{0};
    std::atomic<std::uint64_t> batches_{0};
    std::atomic<std::uint64_t> failedPosts_{0};
    std::thread writer_;
};

}  // namespace tvl::analytics
