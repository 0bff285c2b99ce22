#pragma once

// Shared pieces of the HTTP tests: a content root with one known file served by
// an in-process talvane-cdn, and writers and proxy factories that tests control.

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "engine/http/HttpProxy.h"
#include "engine/http/HttpProxyFactory.h"
#include "engine/http/HttpWriteCallback.h"
#include "tests/support/TemporaryFolder.h"
#include "tools/talvane-cdn/CdnServer.h"

namespace tvl::test {

// A content root holding packages/p/k/1/data.bin (`FileBytes` bytes) and a
// manifest, and a CDN with one node serving it.
class HttpServerFixture {
  public:
    static constexpr std::size_t FileBytes = 200000;

    HttpServerFixture();

    std::string NodeUrl(const std::string& path = "/packages/p/k/1/data.bin") const;
    const std::string& FileContent() const { return content_; }
    cdn::CdnServer& Server() { return *server_; }

  private:
    TemporaryFolder root_;
    std::string content_;
    std::unique_ptr<cdn::CdnServer> server_;
};

// Keeps every byte it is given, or fails in one chosen way.
class CollectingWriter : public HttpWriteCallback {
  public:
    HttpRequestStatus Write(const char* data, std::size_t length) override;

    std::string body;
    // When set, the writer answers with this result and takes `takes` bytes at most.
    bool fail = false;
    HttpRequestResult failure = HttpRequestResult::WriteError;
    std::size_t takes = 0;
    std::string failureText;
};

// Blocks inside its first Write until Release, so a test can act while the
// request is certainly being performed.
class BlockingWriter : public HttpWriteCallback {
  public:
    HttpRequestStatus Write(const char* data, std::size_t length) override;
    bool WaitUntilWriting();  // false after a bounded wait
    void Release();

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool writing_ = false;
    bool released_ = false;
};

// Hands out one fixed proxy and counts how often it was asked.
class FixedHttpProxyFactory : public HttpProxyFactory {
  public:
    explicit FixedHttpProxyFactory(std::string proxy = std::string()) : proxy_(std::move(proxy)) {}
    std::shared_ptr<HttpProxy> Create() override;

    int created = 0;

  private:
    std::string proxy_;
};

}  // namespace tvl::test
