#pragma once

// Runs tasks on a pool of worker threads. Knows nothing about trees: it runs
// a simple work of a workflow and reports back, a stand-alone simple work, or
// a plain function. Every operation may be called from any thread, including
// the pool's own; tasks never run on the posting thread.

#include <functional>
#include <memory>

namespace tvl {

class SimpleWork;
class Workflow;

class WorkManager {
public:
    WorkManager(const WorkManager&) = delete;
    WorkManager& operator=(const WorkManager&) = delete;
    virtual ~WorkManager() = default;

    virtual void Post(std::function<void()> function) = 0;
    // Runs a work that belongs to no workflow: Run, then NotifyComplete.
    virtual void Execute(std::shared_ptr<SimpleWork> work) = 0;
    // Run, NotifyComplete, then the workflow's OnSimpleWorkComplete; the task
    // keeps both alive until it has finished.
    virtual void ExecuteInWorkflow(std::shared_ptr<Workflow> workflow, std::shared_ptr<SimpleWork> work) = 0;

protected:
    WorkManager() = default;
};

}  // namespace tvl
