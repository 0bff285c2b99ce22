#include "engine/workflow/TransferStatusData.h"

#include <boost/property_tree/ptree.hpp>
#include <new>

#include "engine/file/FileExceptions.h"

namespace tvl {
namespace {

std::string Code(TransferError error) { return std::to_string(static_cast<unsigned>(error)); }

}  // namespace

TransferErrorData::TransferErrorData(TransferError error, std::string message)
    : WorkErrorData(std::move(message)), error_(error) {}

void TransferErrorData::Describe(boost::property_tree::ptree& tree) const {
    tree.put("transferError", Code(error_));
    WorkErrorData::Describe(tree);
}

std::string TransferErrorData::GetSummary() const { return "error|" + Code(error_) + "|" + GetMessage(); }

TransferExceptionData::TransferExceptionData(TransferError error, std::exception_ptr exception)
    : WorkExceptionData(std::move(exception)), error_(error) {}

void TransferExceptionData::Describe(boost::property_tree::ptree& tree) const {
    tree.put("transferError", Code(error_));
    WorkExceptionData::Describe(tree);
}

std::string TransferExceptionData::GetSummary() const {
    return "error|" + Code(error_) + "|" + WorkExceptionData::GetSummary();
}

TransferFileExceptionData::TransferFileExceptionData(std::exception_ptr exception)
    : TransferExceptionData(TransferError::InternalError, std::move(exception)), retryable_(false) {
    // The order matters: every file exception shares the base FileException.
    try {
        Rethrow();
    } catch (const FileBadPathException&) {
        error_ = TransferError::FileAccessError;
    } catch (const FileInUseException&) {
        error_ = TransferError::FileAccessError;
        retryable_ = true;
    } catch (const FileInaccessibleException&) {
        error_ = TransferError::FileAccessError;
        retryable_ = true;
    } catch (const FileInsufficientSpaceException&) {
        error_ = TransferError::DiskFull;
        retryable_ = true;
    } catch (const FileOutOfBoundsException&) {
        error_ = TransferError::InternalError;
    } catch (const FileException&) {
        error_ = TransferError::FileWriteError;
    } catch (const std::bad_alloc&) {
        error_ = TransferError::OutOfMemory;
    } catch (...) {
        error_ = TransferError::InternalError;
    }
}

std::shared_ptr<TransferErrorData> CreateTransferErrorData(TransferError error, const std::string& message) {
    return std::make_shared<TransferErrorData>(error, message);
}

std::shared_ptr<TransferExceptionData> CreateTransferExceptionData(std::exception_ptr exception,
                                                                   TransferError error) {
    return std::make_shared<TransferExceptionData>(error, std::move(exception));
}

std::shared_ptr<TransferFileExceptionData> CreateTransferFileExceptionData(std::exception_ptr exception) {
    return std::make_shared<TransferFileExceptionData>(std::move(exception));
}

TransferError TransferErrorFromHttpResult(HttpRequestResult result) {
    switch (result) {
        case HttpRequestResult::Success:
        case HttpRequestResult::Aborted:
            return TransferError::None;
        case HttpRequestResult::InvalidRequest:
        case HttpRequestResult::OtherError:
            return TransferError::RequestError;
        case HttpRequestResult::HttpClientError:
        case HttpRequestResult::DataMismatch:
            return TransferError::ContentError;
        case HttpRequestResult::WriteError:
            return TransferError::FileWriteError;
        case HttpRequestResult::OutOfMemory:
            return TransferError::OutOfMemory;
        case HttpRequestResult::ResolveFailure:
        case HttpRequestResult::ConnectFailure:
        case HttpRequestResult::HttpServerError:
        case HttpRequestResult::ConnectionReset:
        case HttpRequestResult::RequestTimeout:
            return TransferError::ConnectionError;
        default:
            return TransferError::InternalError;  // NotStarted, InProgress, unknown values
    }
}

}  // namespace tvl
