#pragma once

// The part every work of a transfer's tree shares: the transfer's work
// interface, through which it reaches the parameters, the behavior, the
// acquired manifests, the progress counters and the transfer's handlers.
// Placed first among a work's bases. Immutable after construction; the
// interface itself is safe from any thread.
//
// The helpers below are the one place where a work's task outcome becomes a
// transfer status: log-manager registration, file-exception classification.

#include <boost/property_tree/ptree_fwd.hpp>
#include <exception>
#include <memory>
#include <string>

#include "engine/work/WorkStatus.h"
#include "engine/workflow/TransferError.h"

namespace tvl {

class SimpleWork;
class SimpleWorkRetryCallback;
class TransferBehavior;
class TransferWorkInterface;
class Work;
class WorkCompleteCallback;

class TransferWork {
  public:
    virtual ~TransferWork() = default;
    TransferWork(const TransferWork&) = delete;
    TransferWork& operator=(const TransferWork&) = delete;

    // The transfer's parameters under the tree's top level, copied under the
    // transfer's lock because the destination is written by Start.
    void DescribeTransfer(boost::property_tree::ptree& tree) const;

    const std::shared_ptr<TransferWorkInterface>& GetInterface() const { return interface_; }

  protected:
    explicit TransferWork(std::shared_ptr<TransferWorkInterface> interface);

    const std::shared_ptr<TransferWorkInterface> interface_;
};

// The work log's listeners, or null when the behavior has no log manager; a
// tree built without one carries no logging at all.
WorkCompleteCallback* LogCompleteCallback(const TransferBehavior& behavior);
SimpleWorkRetryCallback* LogRetryCallback(const TransferBehavior& behavior);

// Registers the log manager's complete callback when there is one.
void AddLogCompleteCallback(Work& work, const TransferBehavior& behavior);
// Registers the log manager's retry callback when there is one.
void AddLogRetryCallback(SimpleWork& work, const TransferBehavior& behavior);

// A file-layer exception as the file works report it: RetryableError when the
// problem may go away (a file in use, a folder not writable for the moment, a
// full disk), else Error; the data is a TransferFileExceptionData.
WorkStatus FileExceptionStatus(std::exception_ptr exception);

// Error with a TransferErrorData.
WorkStatus TransferErrorStatus(TransferError error, const std::string& message);

// Error with a TransferExceptionData of the exception being handled: 3 for
// std::bad_alloc, else the given error. Call only inside a catch block.
WorkStatus CurrentExceptionStatus(TransferError otherwise);

}  // namespace tvl
