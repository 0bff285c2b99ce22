#include "engine/http/HttpStringstreamWriter.h"

#include <ostream>

namespace tvl {

HttpRequestStatus HttpStringstreamWriter::Write(const char* data, std::size_t length) {
    if (length == 0) {
        return {HttpRequestResult::Success, 0};
    }
    stream_->write(data, static_cast<std::streamsize>(length));
    if (stream_->fail() || stream_->bad()) {
        return {HttpRequestResult::WriteError, 0};
    }
    return {HttpRequestResult::Success, length};
}

}  // namespace tvl
