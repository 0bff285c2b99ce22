#include "tools/talvane-analytics/GroupCommitter.h"

#include <iostream>

namespace tvl::analytics {

GroupCommitter::GroupCommitter(std::unique_ptr<AnalyticsStore> store, std::size_t maxBatchRecords)
    : store_(std::move(store)), maxBatchRecords_(maxBatchRecords == 0 ? 1 : maxBatchRecords) {
    writer_ = std::thread([this] { Run(); });
}

GroupCommitter::~GroupCommitter() {
    Stop();
}

void GroupCommitter::Submit(AcceptedPost post, Completion completion) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!stopping_) {
            queue_.push_back(Pending{std::move(post), std::move(completion)});
            wake_.notify_one();
            return;
        }
    }
    completion(CommitOutcome::Unavailable);
}

void GroupCommitter::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        wake_.notify_one();
    }
    if (writer_.joinable()) {
        writer_.join();
    }
}

void GroupCommitter::Run() {
    std::vector<Pending> batch;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (queue_.empty()) {
                return;  // stopping, and everything queued has been answered
            }
            std::size_t records = 0;
            // At least one post, however large, so that none waits for ever.
            while (!queue_.empty() && (batch.empty() || records + queue_.front().post.RecordCount() <= maxBatchRecords_)) {
                records += queue_.front().post.RecordCount();
                batch.push_back(std::move(queue_.front()));
                queue_.pop_front();
            }
        }
        Commit(batch);
        batch.clear();
    }
}

void GroupCommitter::Commit(std::vector<Pending>& batch) {
    auto append = [this](const std::vector<const AcceptedPost*>& posts) -> std::optional<StoreError> {
        try {
            store_->Append(posts);
            return std::nullopt;
        } catch (const StoreError& error) {
            return error;
        }
    };
    auto finish = [this](Pending& pending, CommitOutcome outcome) {
        if (outcome == CommitOutcome::Committed) {
            ++committedPosts_;
            committedRecords_ += pending.post.RecordCount();
        } else {
            ++failedPosts_;
        }
        pending.completion(outcome);
    };

    std::vector<const AcceptedPost*> posts;
    posts.reserve(batch.size());
    for (const Pending& pending : batch) {
        posts.push_back(&pending.post);
    }
    ++batches_;
    const std::optional<StoreError> failure = append(posts);
    if (!failure) {
        for (Pending& pending : batch) {
            finish(pending, CommitOutcome::Committed);
        }
        return;
    }
    std::cerr << "talvane-analytics: " << failure->what() << "\n";
    if (!failure->PostRefused() || batch.size() == 1) {
        for (Pending& pending : batch) {
            finish(pending, failure->PostRefused() ? CommitOutcome::Refused : CommitOutcome::Unavailable);
        }
        return;
    }
    // One post the database cannot hold must not take the others with it: the
    // transaction rolled back, so each is tried again on its own.
    for (Pending& pending : batch) {
        ++batches_;
        const std::optional<StoreError> alone = append({&pending.post});
        finish(pending, !alone ? CommitOutcome::Committed
                               : alone->PostRefused() ? CommitOutcome::Refused : CommitOutcome::Unavailable);
    }
}

}  // namespace tvl::analytics
