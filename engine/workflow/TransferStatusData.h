#pragma once

// The details every transfer work attaches to a status that is not a success:
// a TransferError for the transfer and the user, plus what the logs need.
// Immutable after construction (the file classification happens in the
// constructor); safe to read from any thread.

#include <exception>
#include <memory>
#include <string>

#include "engine/http/HttpRequestResult.h"
#include "engine/work/WorkStatusData.h"
#include "engine/workflow/TransferError.h"

namespace tvl {

class TransferStatusData : public virtual WorkStatusData {
public:
    virtual TransferError ToTransferError() const = 0;
};

class TransferErrorData : public TransferStatusData, public WorkErrorData {
public:
    TransferErrorData(TransferError error, std::string message);

    TransferError ToTransferError() const override { return error_; }
    void Describe(boost::property_tree::ptree& tree) const override;
    std::string GetSummary() const override;

private:
    TransferError error_;
};

class TransferExceptionData : public TransferStatusData, public WorkExceptionData {
public:
    TransferExceptionData(TransferError error, std::exception_ptr exception);

    TransferError ToTransferError() const override { return error_; }
    void Describe(boost::property_tree::ptree& tree) const override;
    std::string GetSummary() const override;

protected:
    TransferError error_;
};

// A file-layer exception, classified: problems that may go away (a file in use,
// a folder not writable for the moment, a full disk) are retryable.
class TransferFileExceptionData : public TransferExceptionData {
public:
    explicit TransferFileExceptionData(std::exception_ptr exception);

    bool IsRetryable() const { return retryable_; }

private:
    bool retryable_;
};

std::shared_ptr<TransferErrorData> CreateTransferErrorData(TransferError error, const std::string& message);
std::shared_ptr<TransferExceptionData> CreateTransferExceptionData(std::exception_ptr exception,
                                                                   TransferError error);
std::shared_ptr<TransferFileExceptionData> CreateTransferFileExceptionData(std::exception_ptr exception);

// The transfer error an HTTP result stands for.
TransferError TransferErrorFromHttpResult(HttpRequestResult result);

}  // namespace tvl
