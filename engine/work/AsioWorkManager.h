#pragma once

// A WorkManager over one asio io_context whose event loop runs on a fixed
// number of pool threads. Tasks start in the order they were posted, on
// whichever thread is free. An exception escaping a task is caught on the
// pool thread so the pool never shrinks (see ExecuteInWorkflow for works).
//
// Threading: Post, Execute and ExecuteInWorkflow may be called from any
// thread. Drain and the destructor join the pool and must not be called from
// one of its threads.

#include <cstdint>
#include <memory>

#include "engine/work/WorkManager.h"

namespace tvl {

class AsioWorkManager : public WorkManager {
public:
    // With 0 threads, tasks are accepted and never run. With drain on destroy,
    // the destructor runs every task already posted; otherwise tasks not yet
    // started are dropped and those under way finish.
    AsioWorkManager(std::uint32_t threadCount, bool drainOnDestroy);
    ~AsioWorkManager() override;

    void Post(std::function<void()> function) override;
    void Execute(std::shared_ptr<SimpleWork> work) override;
    void ExecuteInWorkflow(std::shared_ptr<Workflow> workflow, std::shared_ptr<SimpleWork> work) override;

    // Runs every task already posted to its end and joins the pool; afterwards
    // the manager has no threads and runs nothing more.
    void Drain();

    std::uint32_t GetThreadCount() const { return threadCount_; }
    bool DrainsOnDestroy() const { return drainOnDestroy_; }

private:
    struct Pool;

    std::unique_ptr<Pool> pool_;
    const std::uint32_t threadCount_;
    const bool drainOnDestroy_;
};

}  // namespace tvl
