#pragma once

// Writers that stream a chunk's response body straight into its view, and the
// status data a chunk request reports. A writer is used only on the thread
// executing its request; it never throws to the library, every failure is a
// result value.

#include <exception>
#include <memory>
#include <string>

#include "engine/http/HttpRequestStatus.h"
#include "engine/http/HttpWriteCallback.h"
#include "engine/workflow/TransferStatusData.h"

namespace tvl {

class BoundedFileData;
class TransferSharedMapData;

// Writes at the file data's cursor. A piece that would run past the upper
// bound is not written at all and ends the request with DataMismatch.
class HttpBoundedFileDataWriter : public HttpWriteCallback {
public:
    explicit HttpBoundedFileDataWriter(std::shared_ptr<BoundedFileData> data) : data_(std::move(data)) {}
    HttpRequestStatus Write(const char* data, std::size_t length) override;

    // The file's own failure (a full disk, an I/O error) that ended the
    // request with WriteError, if one did: the file, not the node, is then
    // what to report.
    std::exception_ptr GetFileFailure() const { return fileFailure_; }

private:
    std::shared_ptr<BoundedFileData> data_;
    std::exception_ptr fileFailure_;
};

// Also counts what it wrote in the chunk and in the transfer's progress.
class TransferHttpWriter : public HttpBoundedFileDataWriter {
public:
    explicit TransferHttpWriter(std::shared_ptr<TransferSharedMapData> mapData);
    HttpRequestStatus Write(const char* data, std::size_t length) override;

private:
    std::shared_ptr<TransferSharedMapData> mapData_;
};

class HttpTransferStatusData : public TransferStatusData {
public:
    HttpTransferStatusData(std::string hostname, const HttpRequestStatus& status)
        : hostname_(std::move(hostname)), status_(status) {}

    TransferError ToTransferError() const override { return TransferErrorFromHttpResult(status_.result); }
    void Describe(boost::property_tree::ptree& tree) const override;
    std::string GetSummary() const override;

    const std::string& GetHostname() const { return hostname_; }
    const HttpRequestStatus& GetStatus() const { return status_; }

private:
    std::string hostname_;
    HttpRequestStatus status_;
};

}  // namespace tvl
