#pragma once

// The two ways to listen to works. Both are called on the worker thread that
// ran the work, possibly on several threads at once, so implementations must
// be thread-safe. Registrations are plain pointers: a listener must outlive
// every work it is registered with.

#include <memory>

namespace tvl {

class Work;
class SimpleWork;
class WorkStatus;

class WorkCompleteCallback {
public:
    virtual ~WorkCompleteCallback() = default;
    virtual void OnWorkComplete(const std::shared_ptr<const Work>& work, const WorkStatus& status) = 0;
};

// Told before a simple work's task is run again at once after a retryable error.
class SimpleWorkRetryCallback {
public:
    virtual ~SimpleWorkRetryCallback() = default;
    virtual void OnSimpleWorkRetry(const std::shared_ptr<const SimpleWork>& work, const WorkStatus& status) = 0;
};

}  // namespace tvl
