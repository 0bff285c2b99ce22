#include "tests/engine/http/HttpTestSupport.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>

#include "engine/http/ManualHttpProxy.h"

namespace tvl::test {

HttpServerFixture::HttpServerFixture() {
    content_.resize(FileBytes);
    unsigned state = 12345;
    for (char& c : content_) {
        state = state * 1103515245u + 12345u;
        c = static_cast<char>(state >> 16);
    }
    std::filesystem::create_directories(root_.Join("packages/p/k/1"));
    std::filesystem::create_directories(root_.Join("manifests/pkg"));
    std::ofstream(root_.Join("packages/p/k/1/data.bin"), std::ios::binary) << content_;
    std::ofstream(root_.Join("manifests/pkg/current.xml")) << "<Package id=\"pkg\"/>";
    cdn::CdnServerOptions options;
    options.contentRoot = root_.Path();
    options.nodeCount = 2;
    server_ = std::make_unique<cdn::CdnServer>(options);
}

std::string HttpServerFixture::NodeUrl(const std::string& path) const {
    return "http://" + server_->Authority(cdn::CdnEndpoint::Node(0)) + path;
}

HttpRequestStatus CollectingWriter::Write(const char* data, std::size_t length) {
    if (fail) {
        const std::size_t taken = std::min(takes, length);
        body.append(data, taken);
        HttpRequestStatus status(failure, taken);
        status.errorDetails = failureText;
        return status;
    }
    body.append(data, length);
    return {HttpRequestResult::Success, length};
}

HttpRequestStatus BlockingWriter::Write(const char*, std::size_t length) {
    std::unique_lock<std::mutex> lock(mutex_);
    writing_ = true;
    changed_.notify_all();
    changed_.wait_for(lock, std::chrono::seconds(10), [this] { return released_; });
    return {HttpRequestResult::Success, length};
}

bool BlockingWriter::WaitUntilWriting() {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10), [this] { return writing_; });
}

void BlockingWriter::Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
    changed_.notify_all();
}

std::shared_ptr<HttpProxy> FixedHttpProxyFactory::Create() {
    ++created;
    if (proxy_.empty()) {
        return std::make_shared<EmptyHttpProxy>();
    }
    return std::make_shared<ManualHttpProxy>(proxy_, std::string());
}

}  // namespace tvl::test
