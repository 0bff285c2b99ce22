#pragma once

// Runs children generated one at a time by the subclass (GetNextWork), at
// most capacity of them at once: each finished child is replaced by the next
// generated ones up to the capacity, and every generated child gets the next
// path number, so earlier children keep priority. A generator may hold a
// child back (return null) while others are active; it is asked again at the
// next completion, and the work ends only when null comes with none active. Succeeds when the generator is exhausted
// and the last active child has succeeded; a child's Failure makes it fail
// with Error. Thread-safe as every composite; GetNextWork is called with the
// composite's lock held.

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "engine/work/CompositeWork.h"

namespace tvl {

class LazyParallelWork : public CompositeWork {
public:
    void Reset() override;
    void QueueAvailableWork(const std::shared_ptr<Workflow>& workflow) override;

    // Throws std::invalid_argument for a capacity of 0.
    virtual void Reserve(std::uint32_t capacity);

    std::uint32_t GetCapacity() const { return capacity_; }

protected:
    LazyParallelWork(WorkCompleteCallback* callback, std::uint32_t capacity);

    // The next child to run, or null when there is none; restart the generator in Reset.
    virtual std::shared_ptr<Work> GetNextWork() = 0;

    // The running children, in no particular order; call with the lock held.
    std::vector<std::shared_ptr<Work>> GetActiveChildren() const;
    std::size_t GetActiveCount() const { return active_.size(); }

    void OnSetWorkflow(const std::shared_ptr<Workflow>& workflow) override;
    bool IsActiveChild(const std::shared_ptr<const Work>& child) override;
    CompositeResult OnChildComplete(const std::shared_ptr<const Work>& child, const WorkStatus& status) override;

private:
    // Keyed by address so a completing child is found without a reference count change.
    std::unordered_map<const Work*, std::shared_ptr<Work>> active_;
    std::uint32_t capacity_ = 0;
    std::uint32_t next_ = 0;
};

}  // namespace tvl
