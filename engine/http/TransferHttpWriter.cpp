#include "engine/http/TransferHttpWriter.h"

#include <boost/property_tree/ptree.hpp>
#include <new>

#include "engine/file/BoundedFileData.h"
#include "engine/file/FileExceptions.h"
#include "engine/file/MemoryMappedFileData.h"
#include "engine/service/TransferProgressUpdater.h"
#include "engine/workflow/TransferSharedMapData.h"

namespace tvl {

HttpRequestStatus HttpBoundedFileDataWriter::Write(const char* data, std::size_t length) {
    if (length == 0) {
        return HttpRequestStatus(HttpRequestResult::Success, 0);
    }
    try {
        const std::size_t written = data_->Write(data, length);
        return HttpRequestStatus(written == length ? HttpRequestResult::Success : HttpRequestResult::WriteError,
                                 written);
    } catch (const FileOutOfBoundsException&) {
        return HttpRequestStatus(HttpRequestResult::DataMismatch, 0);
    } catch (const std::bad_alloc&) {
        return HttpRequestStatus(HttpRequestResult::OutOfMemory, 0);
    } catch (const FileException&) {
        fileFailure_ = std::current_exception();
        return HttpRequestStatus(HttpRequestResult::WriteError, 0);
    } catch (...) {
        return HttpRequestStatus(HttpRequestResult::WriteError, 0);
    }
}

TransferHttpWriter::TransferHttpWriter(std::shared_ptr<TransferSharedMapData> mapData)
    : HttpBoundedFileDataWriter(mapData->map), mapData_(std::move(mapData)) {}

HttpRequestStatus TransferHttpWriter::Write(const char* data, std::size_t length) {
    const HttpRequestStatus status = HttpBoundedFileDataWriter::Write(data, length);
    if (status.bytesWritten != 0) {
        mapData_->fileProgressBytes += status.bytesWritten;
        if (mapData_->progressUpdater) {
            mapData_->progressUpdater->AddDone(status.bytesWritten);
            mapData_->progressUpdater->AddDownloaded(status.bytesWritten);
        }
    }
    return status;
}

void HttpTransferStatusData::Describe(boost::property_tree::ptree& tree) const {
    tree.put("hostname", hostname_);
    tree.put("ip", status_.ip);
    tree.put("httpResult", static_cast<unsigned>(status_.result));
    tree.put("httpResponseCode", status_.responseCode);
    tree.put("bytesWritten", status_.bytesWritten);
    tree.put("errorDetails", status_.errorDetails);
    tree.put("requestTimeMs", status_.requestTimeMs);
}

std::string HttpTransferStatusData::GetSummary() const {
    const TransferError error = ToTransferError();
    if (error == TransferError::None) {
        return std::string();
    }
    return "error|" + std::to_string(static_cast<unsigned>(error)) + "|" +
           std::to_string(static_cast<unsigned>(status_.result)) + "|" + status_.errorDetails;
}

}  // namespace tvl
