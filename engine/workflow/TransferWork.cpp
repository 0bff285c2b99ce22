#include "engine/workflow/TransferWork.h"

#include <boost/property_tree/ptree.hpp>
#include <new>

#include "engine/service/TransferBehavior.h"
#include "engine/service/TransferParams.h"
#include "engine/service/TransferWorkInterface.h"
#include "engine/work/SimpleWork.h"
#include "engine/workflow/TransferStatusData.h"

namespace tvl {

TransferWork::TransferWork(std::shared_ptr<TransferWorkInterface> interface)
    : interface_(std::move(interface)) {}

void TransferWork::DescribeTransfer(boost::property_tree::ptree& tree) const {
    if (interface_) {
        interface_->CopyParams().Describe(tree);
    }
}

void AddLogCompleteCallback(Work& work, const TransferBehavior& behavior) {
    if (WorkCompleteCallback* callback = LogCompleteCallback(behavior)) {
        work.AddCompleteCallback(callback);
    }
}

void AddLogRetryCallback(SimpleWork& work, const TransferBehavior& behavior) {
    if (SimpleWorkRetryCallback* callback = LogRetryCallback(behavior)) {
        work.AddRetryCallback(callback);
    }
}

WorkStatus FileExceptionStatus(std::exception_ptr exception) {
    auto data = CreateTransferFileExceptionData(std::move(exception));
    const WorkResult result = data->IsRetryable() ? WorkResult::RetryableError : WorkResult::Error;
    return WorkStatus(result, std::move(data));
}

WorkStatus TransferErrorStatus(TransferError error, const std::string& message) {
    return WorkStatus(WorkResult::Error, CreateTransferErrorData(error, message));
}

WorkStatus CurrentExceptionStatus(TransferError otherwise) {
    const std::exception_ptr exception = std::current_exception();
    TransferError error = otherwise;
    try {
        std::rethrow_exception(exception);
    } catch (const std::bad_alloc&) {
        error = TransferError::OutOfMemory;
    } catch (...) {
    }
    return WorkStatus(WorkResult::Error, CreateTransferExceptionData(exception, error));
}

}  // namespace tvl
