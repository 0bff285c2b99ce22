// The download tree through real transfers on a real work manager against a
// local CDN: complete downloads, resumed downloads, bad nodes, retryable
// pauses and program files.

#include <gtest/gtest.h>
#include <unistd.h>
#include <sys/mount.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "engine/file/MemoryMappedFileData.h"
#include "engine/file/ViewBufferPool.h"
#include "engine/http/HttpRequest.h"
#include "engine/http/HttpRequestParams.h"
#include "engine/work/StandardWorkflow.h"
#include "engine/workflow/TransferError.h"
#include "tests/engine/workflow/WorkflowTestSupport.h"

namespace tvl::test {
namespace {

using cdn::CdnEndpoint;
using cdn::CdnFault;

constexpr std::uint8_t Error(TransferError error) {
    return static_cast<std::uint8_t>(error);
}

void QuiesceBeforeRetry(StandardTransfer& transfer) {
    auto workflow = std::dynamic_pointer_cast<StandardWorkflow>(transfer.GetWorkflow());
    ASSERT_TRUE(workflow);
    ASSERT_TRUE(WaitUntil([&] { return workflow->GetRunningCount() == 0; }, std::chrono::seconds(10)));
}

// Chosen chunk answers that reach the engine late: the request is performed
// as usual, but its outcome is handed back only once the test lets it go, as
// if the answer had come in just as the tree stopped. Every wait is bounded.
class HeldAnswers {
  public:
    // Holds the nth answer (counted from 1) for the chunk of `file` starting at `rangeStart`.
    void Hold(const std::string& file, std::uint64_t rangeStart, int nth) {
        std::lock_guard<std::mutex> lock(mutex_);
        gates_[{file, rangeStart}].nth = nth;
    }

    bool WaitUntilHeld(const std::string& file, std::uint64_t rangeStart) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, kWorkflowWait, [&] { return gates_[{file, rangeStart}].held; });
    }

    void Release(const std::string& file, std::uint64_t rangeStart) {
        std::lock_guard<std::mutex> lock(mutex_);
        gates_[{file, rangeStart}].released = true;
        changed_.notify_all();
    }

    void ReleaseAll() {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& gate : gates_) {
            gate.second.released = true;
        }
        changed_.notify_all();
    }

    // Called with every answer, on the thread that performed the request.
    void OnAnswer(const std::string& url, std::uint64_t rangeStart) {
        std::unique_lock<std::mutex> lock(mutex_);
        for (auto& [key, gate] : gates_) {
            const std::string& file = key.first;
            const bool ofFile =
                url.size() >= file.size() && url.compare(url.size() - file.size(), file.size(), file) == 0;
            if (!ofFile || key.second != rangeStart || ++gate.seen != gate.nth) {
                continue;
            }
            gate.held = true;
            changed_.notify_all();
            changed_.wait_for(lock, kWorkflowWait, [&] { return gate.released; });
            return;
        }
    }

  private:
    struct Gate {
        int nth = 0;
        int seen = 0;
        bool held = false;
        bool released = false;
    };
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::pair<std::string, std::uint64_t>, Gate> gates_;
};

class HoldingHttpRequest : public HttpRequest {
  public:
    HoldingHttpRequest(const HttpRequestParams& params, const std::string& proxy,
                       std::shared_ptr<HttpRequest> inner, HeldAnswers* answers)
        : HttpRequest(params, proxy), inner_(std::move(inner)), answers_(answers) {}

    HttpRequestStatus Execute() override {
        const HttpRequestStatus status = inner_->Execute();
        answers_->OnAnswer(params_.url, params_.rangeStart);
        return status;
    }
    HttpRequestStatus GetStatus() override { return inner_->GetStatus(); }
    void Cancel() override { inner_->Cancel(); }
    bool Reset(const HttpRequestParams& params, const std::string& proxy) override {
        if (!inner_->Reset(params, proxy)) {
            return false;
        }
        params_ = params;
        proxy_ = proxy;
        return true;
    }

  private:
    const std::shared_ptr<HttpRequest> inner_;
    HeldAnswers* const answers_;
};

// Sessions without a pool, so that every chunk request comes from the
// holding factory rather than from a pooled request made earlier.
class UnpooledSessionFactory : public HttpSessionFactory {
  public:
    std::shared_ptr<HttpSession> Create() override { return std::make_shared<HttpSession>(nullptr); }
};

class HoldingHttpRequestFactory : public HttpRequestFactory {
  public:
    HoldingHttpRequestFactory(HttpProxyFactory* proxies, HeldAnswers* answers)
        : HttpRequestFactory(proxies), curl_(proxies), answers_(answers) {}

    std::shared_ptr<HttpRequest> Create(const HttpRequestParams& params, const std::string& proxy) override {
        return std::make_shared<HoldingHttpRequest>(params, proxy, curl_.Create(params, proxy), answers_);
    }

  private:
    CurlHttpRequestFactory curl_;
    HeldAnswers* const answers_;
};

std::size_t ChunksOf(std::size_t size) {
    return (size + kChunkSize - 1) / kChunkSize;
}

std::size_t AllChunks(const Delivery::Source& source) {
    std::size_t chunks = 0;
    for (const auto& file : source.files) {
        chunks += ChunksOf(file.second.size());
    }
    return chunks;
}

TEST(DownloadWorkflowTest, DownloadsEveryFileByteForByte) {
    Delivery delivery;
    delivery.Publish(Delivery::StandardSource());
    auto transfer = delivery.NewDownload();

    const TransferStatus status = delivery.Run(*transfer, delivery.Destination());

    ASSERT_EQ(StateOf(status), TransferState::Completed) << "error " << unsigned(status.error);
    EXPECT_EQ(status.error, 0);
    EXPECT_EQ(status.runPath, "bin/launcher");
    EXPECT_EQ(status.bytesTotal, delivery.PublishedBytes());
    EXPECT_EQ(status.bytesDone, status.bytesTotal);
    EXPECT_EQ(status.bytesVerified, status.bytesTotal);
    EXPECT_EQ(status.bytesDownloaded, status.bytesTotal);
    EXPECT_EQ(delivery.FirstDifference(delivery.Destination()), "");
    EXPECT_TRUE(fs::is_regular_file(fs::path(delivery.Destination()) / "data/deep/empty-too"));
    // One request per chunk, each a byte range of its chunk.
    EXPECT_EQ(delivery.NodeRequests(), AllChunks(delivery.Published()));
    for (std::size_t i = 0; i < delivery.Server().NodeCount(); ++i) {
        for (const auto& request : delivery.Server().Requests(CdnEndpoint::Node(i))) {
            EXPECT_EQ(request.range.rfind("bytes=", 0), 0u) << request.target;
            EXPECT_EQ(request.answeredStatus, 206u) << request.target;
        }
    }
}

TEST(DownloadWorkflowTest, LongChunksStreamThroughViewsThatHoldAWindowEachWithinTheBudget) {
    // Chunks longer than a view's window: what a transfer holds in views must
    // not grow with the chunk size, and each chunk is still checked whole.
    constexpr std::uint32_t kLongChunk = 3 * 1024 * 1024;
    Delivery delivery(2);
    Delivery::Source source;
    source.chunkSize = kLongChunk;
    source.files.emplace_back("a.bin", GeneratedBytes(2 * kLongChunk + 4321, 11));
    source.files.emplace_back("b.bin", GeneratedBytes(kLongChunk, 12));
    source.files.emplace_back("c.bin", GeneratedBytes(kLongChunk - 7, 13));
    delivery.Publish(source);
    constexpr std::uint64_t kBudget = 2 * 1024 * 1024;
    delivery.Behavior().settings.chunkMemoryBudget = kBudget;
    // Bodies that take a while, so that the files' chunks are under way together.
    delivery.SetFaultOnEveryNode(CdnFault::SlowBody(256 * 1024, std::chrono::milliseconds(15)));

    ViewBufferPool::Instance().ResetPeak();
    const TransferStatus status = delivery.Run(*delivery.NewDownload(), delivery.Destination());
    ASSERT_EQ(StateOf(status), TransferState::Completed) << "error " << unsigned(status.error);
    EXPECT_EQ(delivery.FirstDifference(delivery.Destination()), "");
    // The budget, plus the one chunk each file may always start: a megabyte
    // each, however long the chunk.
    EXPECT_LE(ViewBufferPool::Instance().PeakBusyBytes(), kBudget + 3 * (1u << 20));

    // One wrong byte deep inside a long chunk is found by reading it back.
    const std::uint64_t requests = delivery.NodeRequests();
    {
        std::fstream file((fs::path(delivery.Destination()) / "a.bin").string(),
                          std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(kLongChunk + 2 * 1024 * 1024 + 5);
        file.put('\x7f');
    }
    ViewBufferPool::Instance().ResetPeak();
    const TransferStatus again = delivery.Run(*delivery.NewDownload(), delivery.Destination());
    ASSERT_EQ(StateOf(again), TransferState::Completed) << "error " << unsigned(again.error);
    EXPECT_EQ(delivery.FirstDifference(delivery.Destination()), "");
    EXPECT_EQ(delivery.NodeRequests() - requests, 1u) << "only the damaged chunk";
    EXPECT_LE(ViewBufferPool::Instance().PeakBusyBytes(), kBudget + 3 * (1u << 20));
}

TEST(DownloadWorkflowTest, ADiskThatFillsWhileALongChunkStreamsStopsTheTransferAsAFullDisk) {
    // Long chunks go to the file while their bodies arrive, so a disk that
    // fills after the files were sized ends a request, not the check after
    // it: the user must still be told the disk is full, not that a node failed.
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to mount a small file system";
    }
    constexpr std::uint32_t kLongChunk = 3 * 1024 * 1024;
    Delivery delivery(1);
    Delivery::Source source;
    source.chunkSize = kLongChunk;
    source.files.emplace_back("a.bin", GeneratedBytes(2 * kLongChunk, 21));
    source.files.emplace_back("b.bin", GeneratedBytes(2 * kLongChunk, 22));
    delivery.Publish(source);
    const std::string destination = delivery.Destination();
    fs::create_directories(destination);
    // Either file fits when it is sized; both do not.
    if (mount("talvane-test", destination.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=8m") != 0) {
        GTEST_SKIP() << "cannot mount tmpfs here: " << std::strerror(errno);
    }
    auto transfer = delivery.NewDownload();
    const TransferStatus status = delivery.Run(*transfer, destination);
    transfer->Suspend();
    WaitUntil([&] { return StateOf(transfer->GetStatus()) != TransferState::Transferring; });
    transfer.reset();
    EXPECT_EQ(umount2(destination.c_str(), MNT_DETACH), 0) << std::strerror(errno);
    EXPECT_NE(StateOf(status), TransferState::Completed);
    EXPECT_EQ(status.error, Error(TransferError::DiskFull));
}

TEST(DownloadWorkflowTest, NamedVersionFetchesItsOwnManifest) {
    Delivery delivery;
    Delivery::Source old = Delivery::StandardSource();
    old.files.resize(3);
    delivery.Publish(old, "2", false);
    auto transfer = delivery.NewDownload("2");

    const TransferStatus status = delivery.Run(*transfer, delivery.Destination());

    ASSERT_EQ(StateOf(status), TransferState::Completed) << "error " << unsigned(status.error);
    EXPECT_EQ(status.versionId, "2");
    EXPECT_EQ(delivery.FirstDifference(delivery.Destination()), "");
    bool versioned = false;
    for (const auto& request : delivery.Server().Requests(CdnEndpoint::Manifest())) {
        versioned = versioned || request.target == "/manifests/pkg/2.xml";
        EXPECT_NE(request.target, "/manifests/pkg/current.xml");
    }
    EXPECT_TRUE(versioned);
}

TEST(DownloadWorkflowTest, ResumesIntoPartlyPresentDestinationFetchingOnlyWhatIsMissingOrWrong) {
    Delivery delivery;
    const Delivery::Source source = Delivery::StandardSource();
    delivery.Publish(source);
    const fs::path destination = delivery.Destination();
    for (const auto& [path, bytes] : source.files) {
        WriteBytes(destination / path, bytes);
    }
    // One wrong byte in chunk 5 of the large file, one file missing, one
    // shortened, one grown: 1 + all chunks of the other three.
    std::string big = source.files[2].second;
    big[5 * kChunkSize + 9] ^= 0x40;
    WriteBytes(destination / "data/big.bin", big);
    fs::remove(destination / "data/small/f4.txt");
    const std::string& f7 = source.files[5 + 7].second;
    WriteBytes(destination / "data/small/f7.txt", f7.substr(0, f7.size() / 2));
    const std::string& f9 = source.files[5 + 9].second;
    WriteBytes(destination / "data/small/f9.txt", f9 + "tail");
    const std::size_t expected =
        1 + ChunksOf(source.files[5 + 4].second.size()) + ChunksOf(f7.size()) + ChunksOf(f9.size());

    auto transfer = delivery.NewDownload();
    const TransferStatus status = delivery.Run(*transfer, destination.string());

    ASSERT_EQ(StateOf(status), TransferState::Completed) << "error " << unsigned(status.error);
    EXPECT_EQ(delivery.NodeRequests(), expected);
    EXPECT_EQ(status.bytesDone, status.bytesTotal);
    EXPECT_EQ(status.bytesVerified, status.bytesTotal);
    EXPECT_EQ(delivery.FirstDifference(destination.string()), "");
}

TEST(DownloadWorkflowTest, ZeroChunksOfANewFileAreKnownGoodWithoutARequestButOldBytesAreStillChecked) {
    Delivery delivery;
    Delivery::Source source;
    std::string sparse = GeneratedBytes(5 * kChunkSize + 100, 4);
    std::fill(sparse.begin() + kChunkSize, sparse.begin() + 3 * kChunkSize, '\0');  // chunks 1 and 2
    std::fill(sparse.begin() + 5 * kChunkSize, sparse.end(), '\0');                  // the short tail
    source.files.emplace_back("sparse.bin", sparse);
    source.files.emplace_back("zeros.bin", std::string(2 * kChunkSize + 1, '\0'));
    delivery.Publish(source);
    // A stale copy of zeros.bin holding other bytes: its zero chunks must be
    // fetched, since only a file this run allocated is known to hold zeros.
    const fs::path destination = delivery.Destination();
    WriteBytes(destination / "zeros.bin", GeneratedBytes(2 * kChunkSize + 1, 5));
    auto transfer = delivery.NewDownload();

    const TransferStatus status = delivery.Run(*transfer, destination.string());

    ASSERT_EQ(StateOf(status), TransferState::Completed) << "error " << unsigned(status.error);
    EXPECT_EQ(delivery.FirstDifference(destination.string()), "");
    EXPECT_EQ(delivery.NodeRequests(), 3u + 3u) << "chunks 0, 3 and 4 of the new file, all of the stale one";
    EXPECT_EQ(status.bytesDownloaded, 3 * kChunkSize + 2 * kChunkSize + 1);
    EXPECT_EQ(status.bytesVerified, status.bytesTotal);
    EXPECT_EQ(status.bytesDone, status.bytesTotal);
}

TEST(DownloadWorkflowTest, CorruptingNodeIsRoutedAround) {
    Delivery delivery;
    delivery.Publish(Delivery::StandardSource());
    delivery.Server().SetFault(CdnEndpoint::Node(0), CdnFault::CorruptByte(0));
    auto transfer = delivery.NewDownload();

    const TransferStatus status = delivery.Run(*transfer, delivery.Destination());

    ASSERT_EQ(StateOf(status), TransferState::Completed) << "error " << unsigned(status.error);
    EXPECT_EQ(delivery.FirstDifference(delivery.Destination()), "");
    const std::size_t corrupted = delivery.Server().Requests(CdnEndpoint::Node(0)).size();
    EXPECT_GT(corrupted, 0u) << "the corrupting node was never tried";
    // Every chunk the bad node served was fetched again elsewhere.
    EXPECT_EQ(delivery.NodeRequests(), AllChunks(delivery.Published()) + corrupted);
    EXPECT_EQ(status.bytesDone, status.bytesTotal);
}

TEST(DownloadWorkflowTest, ChunkCorruptedByEveryNodeStopsWithVerificationErrorUntilRetried) {
    Delivery delivery;
    delivery.Publish(Delivery::StandardSource());
    delivery.SetFaultOnEveryNode(CdnFault::CorruptByte(0));
    auto transfer = delivery.NewDownload();

    const TransferStatus failed = delivery.Run(*transfer, delivery.Destination());

    ASSERT_EQ(failed.error, Error(TransferError::VerificationError));
    EXPECT_TRUE(failed.retryable);
    EXPECT_NE(StateOf(failed), TransferState::Completed);
    EXPECT_LT(failed.bytesVerified, failed.bytesTotal);
    EXPECT_FALSE(AnyExecuteBit(fs::path(delivery.Destination()) / "bin/launcher"));
    // Each node was asked for the first chunk, and no chunk more often than
    // the sequence and request retries allow.
    for (std::size_t i = 0; i < delivery.Server().NodeCount(); ++i) {
        EXPECT_FALSE(delivery.Server().Requests(CdnEndpoint::Node(i)).empty()) << "node " << i;
    }

    // Attempts already under way when the tree stopped still finish with the
    // faulty answers; the retry comes once they have.
    QuiesceBeforeRetry(*transfer);
    delivery.Server().ClearFaults();
    transfer->Retry();
    const TransferStatus status = Delivery::WaitForEnd(*transfer);
    ASSERT_EQ(StateOf(status), TransferState::Completed) << "error " << unsigned(status.error);
    EXPECT_EQ(delivery.FirstDifference(delivery.Destination()), "");
    EXPECT_EQ(status.bytesDone, status.bytesTotal);
    EXPECT_EQ(status.bytesVerified, status.bytesTotal);
}

// A file of two chunks, with `fault` on every node and every answer going
// through HeldAnswers.
class HeldPairDownload {
  public:
    HeldPairDownload(Delivery& delivery, const CdnFault& fault, std::uint32_t seed)
        : delivery_(delivery), requests_(&proxies_, &held) {
        Delivery::Source source;
        source.files.emplace_back("pair.bin", GeneratedBytes(2 * kChunkSize, seed));
        delivery.Publish(source);
        delivery.SetFaultOnEveryNode(fault);
        delivery.Behavior().httpRequestFactory = &requests_;
        delivery.Behavior().httpSessionFactory = &sessions_;
        transfer = delivery.NewDownload();
    }

    // Holds the nth answer of each chunk and lets the first chunk's go once
    // the second's is held, so that the first chunk stops the tree while the
    // second's answer is still out. Returns the stopped status (error 0 when
    // that did not happen in time); the second chunk's answer stays held.
    TransferStatus StopOnTheFirstChunk(int nth) {
        held.Hold("pair.bin", 0, nth);
        held.Hold("pair.bin", kChunkSize, nth);
        EXPECT_EQ(Delivery::Initialize(*transfer).error, 0);
        transfer->Start(delivery_.Destination());
        const bool secondHeld = held.WaitUntilHeld("pair.bin", kChunkSize);
        held.Release("pair.bin", 0);
        TransferStatus failed;
        const bool stopped = WaitUntil([&] {
            failed = transfer->GetStatus();
            return failed.error != 0;
        });
        EXPECT_TRUE(secondHeld);
        EXPECT_TRUE(stopped);
        if (!secondHeld || !stopped) {
            held.ReleaseAll();
            return TransferStatus();
        }
        return failed;
    }

    HeldAnswers held;
    std::shared_ptr<StandardTransfer> transfer;

  private:
    Delivery& delivery_;
    DirectProxyFactory proxies_;
    HoldingHttpRequestFactory requests_;
    UnpooledSessionFactory sessions_;
};

TEST(DownloadWorkflowTest, CorruptAnswerThatArrivesAsTheTreeStopsIsNotChargedToTheRetry) {
    Delivery delivery;
    HeldPairDownload pair(delivery, CdnFault::CorruptByte(0), 6);
    // Three nodes: each chunk tries each of them once before the tree stops.
    // The second chunk's last (corrupt) answer comes in only after the first
    // chunk has used up its nodes and stopped the tree.
    const TransferStatus failed = pair.StopOnTheFirstChunk(3);
    pair.held.ReleaseAll();
    ASSERT_EQ(failed.error, Error(TransferError::VerificationError));
    ASSERT_TRUE(failed.retryable);
    // The held answer has now come in; its verification waits for the retry.
    QuiesceBeforeRetry(*pair.transfer);
    const std::size_t askedBeforeRetry = delivery.NodeRequests();
    EXPECT_EQ(askedBeforeRetry, 6u);

    delivery.Server().ClearFaults();
    pair.transfer->Retry();
    const TransferStatus status = Delivery::WaitForEnd(*pair.transfer);

    ASSERT_EQ(StateOf(status), TransferState::Completed) << "error " << unsigned(status.error);
    EXPECT_EQ(delivery.FirstDifference(delivery.Destination()), "");
    EXPECT_EQ(status.bytesVerified, status.bytesTotal);
    // Both chunks were asked for again after the retry, the second one after
    // its stale bytes failed: nothing from the stopped run was taken as is.
    EXPECT_EQ(delivery.NodeRequests(), askedBeforeRetry + 2);
}

TEST(DownloadWorkflowTest, UnavailableAnswerThatArrivesAfterTheRetryDoesNotStopItAgain) {
    // One node: no exploring request, whose retry would be free, so each
    // chunk request makes exactly two attempts before its error reaches the
    // tree.
    Delivery delivery(1);
    HeldPairDownload pair(delivery, CdnFault::WithStatus(503), 7);
    const TransferStatus failed = pair.StopOnTheFirstChunk(2);
    ASSERT_EQ(failed.error, Error(TransferError::ConnectionError));
    ASSERT_TRUE(failed.retryable);

    // No quiescing: the retry comes while the second chunk's 503 is still out.
    delivery.Server().ClearFaults();
    pair.transfer->Retry();
    pair.held.Release("pair.bin", kChunkSize);
    const TransferStatus status = Delivery::WaitForEnd(*pair.transfer);

    ASSERT_EQ(StateOf(status), TransferState::Completed) << "error " << unsigned(status.error);
    EXPECT_EQ(delivery.FirstDifference(delivery.Destination()), "");
    EXPECT_EQ(status.bytesVerified, status.bytesTotal);
    EXPECT_EQ(delivery.NodeRequests(), 2u + 2u + 2u) << "two 503s per chunk, then one request each";
}

TEST(DownloadWorkflowTest, ServiceUnavailableEverywherePausesWithRetryableErrorAndRetryCompletes) {
    Delivery delivery;
    const Delivery::Source source = Delivery::StandardSource();
    delivery.Publish(source);
    // An earlier, executable launcher of the same length with one wrong chunk:
    // it is reused, yet may not be started while it is being repaired.
    const fs::path launcher = fs::path(delivery.Destination()) / "bin/launcher";
    std::string old = source.files[0].second;
    old[2 * kChunkSize] ^= 1;
    WriteBytes(launcher, old);
    fs::permissions(launcher, fs::perms::owner_all);
    ASSERT_TRUE(AnyExecuteBit(launcher));
    delivery.SetFaultOnEveryNode(CdnFault::WithStatus(503));
    auto transfer = delivery.NewDownload();

    const TransferStatus failed = delivery.Run(*transfer, delivery.Destination());

    ASSERT_EQ(failed.error, Error(TransferError::ConnectionError));
    EXPECT_TRUE(failed.retryable);
    EXPECT_EQ(StateOf(failed), TransferState::Transferring);
    EXPECT_FALSE(AnyExecuteBit(launcher));
    const std::size_t asked = delivery.NodeRequests();
    EXPECT_GT(asked, 0u);
    // Waiting for a retry, the tree asks nothing more.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(delivery.NodeRequests(), asked);

    // Attempts still under way may answer 503 after the retry; that is the
    // stopped run's error, not the retried one's.
    delivery.Server().ClearFaults();
    transfer->Retry();
    const TransferStatus status = Delivery::WaitForEnd(*transfer);
    ASSERT_EQ(StateOf(status), TransferState::Completed) << "error " << unsigned(status.error);
    EXPECT_EQ(delivery.FirstDifference(delivery.Destination()), "");
    EXPECT_EQ(status.bytesDone, status.bytesTotal);
    EXPECT_TRUE(AnyExecuteBit(launcher));
}

TEST(DownloadWorkflowTest, UnavailableManifestHostPausesInitializationUntilRetried) {
    Delivery delivery;
    delivery.Publish(Delivery::StandardSource());
    delivery.Server().SetFault(CdnEndpoint::Manifest(), CdnFault::WithStatus(503));
    auto transfer = delivery.NewDownload();

    const TransferStatus failed = Delivery::Initialize(*transfer);

    ASSERT_EQ(failed.error, Error(TransferError::ConnectionError));
    EXPECT_TRUE(failed.retryable);
    EXPECT_EQ(StateOf(failed), TransferState::Initializing);

    // The other getter may still answer 503 after the retry; that is the
    // stopped run's error, not the retried one's.
    delivery.Server().ClearFaults();
    transfer->Retry();
    TransferStatus status;
    ASSERT_TRUE(WaitUntil([&] {
        status = transfer->GetStatus();
        return StateOf(status) == TransferState::Initialized || status.error != 0;
    }));
    EXPECT_EQ(StateOf(status), TransferState::Initialized);
    EXPECT_EQ(status.bytesTotal, delivery.PublishedBytes());
}

TEST(DownloadWorkflowTest, OverlongBodyIsSurvivedOnAnotherNode) {
    Delivery delivery;
    delivery.Publish(Delivery::StandardSource());
    delivery.Server().SetFault(CdnEndpoint::Node(1), CdnFault::LongerBody(64));
    auto transfer = delivery.NewDownload();

    const TransferStatus status = delivery.Run(*transfer, delivery.Destination());

    ASSERT_EQ(StateOf(status), TransferState::Completed) << "error " << unsigned(status.error);
    EXPECT_EQ(delivery.FirstDifference(delivery.Destination()), "");
    const std::size_t overlong = delivery.Server().Requests(CdnEndpoint::Node(1)).size();
    EXPECT_GT(overlong, 0u);
    EXPECT_EQ(delivery.NodeRequests(), AllChunks(delivery.Published()) + overlong);
    // What the refused bodies wrote was withdrawn again.
    EXPECT_EQ(status.bytesDone, status.bytesTotal);
}

TEST(DownloadWorkflowTest, ProgramFilesBecomeExecutableOnlyWhenThePackageIsComplete) {
    Delivery delivery;
    const Delivery::Source source = Delivery::StandardSource();
    delivery.Publish(source);
    const fs::path destination = delivery.Destination();
    delivery.SetFaultOnEveryNode(CdnFault::SlowBody(256, std::chrono::milliseconds(3)));
    auto transfer = delivery.NewDownload();
    ASSERT_EQ(StateOf(Delivery::Initialize(*transfer)), TransferState::Initialized);

    std::atomic<bool> done{false};
    std::atomic<int> observed{0};
    std::atomic<int> executableEarly{0};
    std::thread watcher([&] {
        const auto deadline = std::chrono::steady_clock::now() + kWorkflowWait;
        while (!done && std::chrono::steady_clock::now() < deadline) {
            for (const char* path : {"bin/launcher", "tools/setup.exe"}) {
                const bool executable = AnyExecuteBit(destination / path);
                // Read after the mode: a status with unverified bytes means the
                // package was incomplete when the mode was read too.
                const TransferStatus status = transfer->GetStatus();
                if (StateOf(status) == TransferState::Transferring &&
                    status.bytesVerified < status.bytesTotal && fs::exists(destination / path)) {
                    ++observed;
                    executableEarly += executable ? 1 : 0;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    transfer->Start(destination.string());
    const TransferStatus status = Delivery::WaitForEnd(*transfer);
    done = true;
    watcher.join();

    ASSERT_EQ(StateOf(status), TransferState::Completed) << "error " << unsigned(status.error);
    EXPECT_GT(observed.load(), 0);
    EXPECT_EQ(executableEarly.load(), 0);
    EXPECT_TRUE(AnyExecuteBit(destination / "bin/launcher"));
    EXPECT_TRUE(AnyExecuteBit(destination / "tools/setup.exe"));
    EXPECT_FALSE(AnyExecuteBit(destination / "data/big.bin"));
    EXPECT_FALSE(AnyExecuteBit(destination / "data/small/f1.txt"));
    EXPECT_EQ(delivery.FirstDifference(destination.string()), "");
}

TEST(DownloadWorkflowTest, CancelWithDeletionRemovesTheFilesTheTreeCreated) {
    Delivery delivery;
    delivery.Publish(Delivery::StandardSource());
    auto transfer = delivery.NewDownload();
    ASSERT_EQ(StateOf(delivery.Run(*transfer, delivery.Destination())), TransferState::Completed);

    // The tree is released on the housekeeping thread, which registers each
    // file with the transfer as it goes; a cancellation deletes those known.
    EXPECT_TRUE(WaitUntil(
        [&] {
            transfer->Cancel(true);
            return !fs::exists(fs::path(delivery.Destination()) / "data/big.bin") &&
                   !fs::exists(fs::path(delivery.Destination()) / "bin/launcher");
        },
        std::chrono::seconds(5)))
        << "files registered by the release are deleted by the next cancellation";
}

TEST(DownloadWorkflowTest, WorksReportToTheWorkLogWhenThereIsOne) {
    TemporaryFolder logs;
    Delivery delivery;
    delivery.EnableWorkLog(logs.Path());
    delivery.Publish(Delivery::StandardSource());
    auto transfer = delivery.NewDownload();

    ASSERT_EQ(StateOf(delivery.Run(*transfer, delivery.Destination())), TransferState::Completed);

    // Lines are written on the log's own threads.
    std::string log;
    EXPECT_TRUE(WaitUntil(
        [&] {
            log.clear();
            for (const auto& entry : fs::directory_iterator(logs.Path())) {
                log += ReadBytes(entry.path());
            }
            return log.find("\"TransferPackageWork\"") != std::string::npos;
        },
        std::chrono::seconds(10)));
    for (const char* name : {"GetPackageManifestWork", "GetNodeListWork", "GetGeolocationWork",
                             "GeofenceWork", "InitializeTransferWork", "TransferSingleFileWork",
                             "OptimizedRequestChunkWork", "VerifyChunkWork", "AllowExecuteWork"}) {
        EXPECT_NE(log.find(std::string("\"name\":\"") + name + "\""), std::string::npos) << name;
    }
    EXPECT_NE(log.find("\"event\":\"OnWorkComplete\""), std::string::npos);
}

}  // namespace
}  // namespace tvl::test
