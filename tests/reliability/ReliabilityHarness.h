#pragma once

// Shared pieces of the fault-injection suite: the package a scenario delivers,
// the local CDN it is served from, talvane-get run as a child process with a
// bounded wait, tree snapshots to prove that nothing was written outside the
// destination, the byte accounting of the nodes, and the one-line result each
// scenario appends to the results file. Everything runs on the test's thread
// except the CDN, which has its own.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/EngineEnvironment.h"
#include "tests/support/FileBytes.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/TemporaryFolder.h"
#include "tools/talvane-cdn/CdnServer.h"
#include "tools/talvane-pack/PackageBuilder.h"

namespace tvl::reliability {

// The short pass keeps the whole binary within a CI budget; the full pass
// (TALVANE_RELIABILITY_FULL=1) uses bigger packages and ten kills.
struct Mode {
    bool full = false;
    std::uint64_t bigFileBytes = 0;
    std::size_t smallFiles = 0;
    std::uint32_t chunkSize = 0;
    int killRounds = 0;
};

const Mode& CurrentMode();

// Seed of the random moments; TALVANE_RELIABILITY_SEED fixes it to replay a run.
std::uint32_t RandomSeed();

// One file per path, relative and "/"-separated, with its bytes.
using FileTree = std::map<std::string, std::string>;

// Writes a launch file, an empty file, one big file and `smallFiles` small ones
// of pseudo-random bytes under `folder`, and returns them.
FileTree WriteSourceTree(const std::string& folder, const Mode& mode, std::uint32_t seed);

std::uint64_t TreeBytes(const FileTree& tree);
std::size_t TreeChunks(const FileTree& tree, std::uint32_t chunkSize);
// Bytes in chunks that are all zeros: a new file already holds them, so no
// node is asked for them.
std::uint64_t ZeroChunkBytes(const FileTree& tree, std::uint32_t chunkSize);

using test::ReadWholeFile;
using test::WriteWholeFile;

// Bytes of `source` that are missing from `destination` or differ there.
std::uint64_t BytesLost(const FileTree& source, const std::string& destination);

// Chunks of `source` whose bytes under `destination` are already right.
std::size_t IntactChunks(const FileTree& source, const std::string& destination, std::uint32_t chunkSize);

// Regular files under `destination` that the package does not have.
std::vector<std::string> ExtraFiles(const FileTree& source, const std::string& destination);

// Every entry under a folder with its kind, size and a digest of its bytes,
// leaving out one subtree (the destination).
class TreeSnapshot {
public:
    static TreeSnapshot Take(const std::string& root, const std::string& excluded = std::string());

    // Human-readable differences, empty when the two snapshots agree.
    std::string DifferencesTo(const TreeSnapshot& later) const;

private:
    std::map<std::string, std::string> entries_;
};

// Sum of the byte ranges the nodes answered with 206, and the number of those answers.
struct ServedFigures {
    std::uint64_t bytes = 0;
    std::size_t answers = 0;
    std::size_t failures = 0;  // answers other than 206 and dropped connections
};
ServedFigures NodeFigures(const cdn::CdnServer& server, std::size_t node);
ServedFigures AllNodeFigures(const cdn::CdnServer& server);
// "target range" of every ranged answer that some node gave more than once, with
// the statuses each node answered for it, to explain served bytes beyond the package.
std::string RepeatedRanges(const cdn::CdnServer& server);

// talvane-get as a child process, its output going to files. The destructor
// kills a child that is still running.
class TalvaneGetProcess {
public:
    struct Outcome {
        bool finished = false;  // false: still running when the wait ended
        int exitCode = -1;      // when it exited
        int signal = 0;         // when a signal ended it
        std::string out;
        std::string err;
        double seconds = 0;
        std::uint64_t peakRssBytes = 0;  // the child's peak resident memory, once it has ended
    };

    TalvaneGetProcess(const std::vector<std::string>& arguments, const std::string& temporaryDirectory,
                      const std::string& outputFolder);
    ~TalvaneGetProcess();
    TalvaneGetProcess(const TalvaneGetProcess&) = delete;
    TalvaneGetProcess& operator=(const TalvaneGetProcess&) = delete;

    // Waits at most `limit` for the child to end; the outcome says whether it did.
    Outcome Wait(std::chrono::milliseconds limit);
    // SIGKILL and reap; the outcome of the killed child.
    Outcome Kill();
    // For other signals, whose outcome Wait collects.
    pid_t Pid() const { return pid_; }
    std::string ErrorSoFar() const;

private:
    Outcome Collect(int status, const rusage& usage);

    pid_t pid_ = -1;
    std::string outPath_;
    std::string errPath_;
    std::chrono::steady_clock::time_point started_;
};

// One line of the results file (tab-separated), appended when
// TALVANE_RELIABILITY_RESULTS names a file.
struct ResultLine {
    std::string scenario;
    std::string fault;
    int runs = 0;
    std::string outcome;
    std::optional<std::uint64_t> bytesServed;
    std::uint64_t packageBytes = 0;
    std::optional<std::uint64_t> bytesLost;
    double seconds = 0;
    std::string verdict;  // pass, FAIL or skip
};
void AppendResult(const ResultLine& line);

using test::StoredTransfersFolder;
// Ids of the stored transfer files, newest first.
std::vector<std::string> StoredTransferIds(const std::string& temporaryDirectory);

// A package packed from a generated tree into a content root, a CDN with two
// nodes serving it, a sandbox whose folder `work/dest` is the destination
// (the sandbox also holds bystander files that must stay untouched), and the
// engine's temporary directory. Each scenario fills result_ and the fixture
// appends it when the scenario ends.
class ReliabilityTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Packs `source_` with the node list naming `nodes` (the CDN's nodes when empty).
    void Pack(const std::vector<std::string>& nodes = {}, const std::string& policy = std::string(),
              const std::vector<std::string>& countries = {});
    // What Pack packs with, for scenarios that change an option (a key, a
    // version, an issue time) before packing with PackWith.
    pack::PackageOptions PackOptions(const std::vector<std::string>& nodes = {}) const;
    void PackWith(const pack::PackageOptions& options);

    std::vector<std::string> BaseArguments(unsigned retries) const;
    std::vector<std::string> NewTransferArguments(unsigned retries) const;
    std::vector<std::string> RestoreArguments(const std::string& id, unsigned retries) const;

    std::unique_ptr<TalvaneGetProcess> Launch(const std::vector<std::string>& arguments);
    // Runs talvane-get to its end (bounded by `limit`) and counts the run.
    TalvaneGetProcess::Outcome RunToEnd(const std::vector<std::string>& arguments,
                                        std::chrono::milliseconds limit = std::chrono::seconds(90));

    void ExpectDestinationMatchesSource() const;
    void ExpectNothingWrittenOutsideDestination() const;
    void ExpectDestinationEmpty() const;
    // The message talvane-get prints for a transfer error code.
    static std::string ErrorLine(unsigned code);
    // "completed", "error 4", "no such transfer", "signal 11", "timed out" ...
    static std::string OutcomeText(const TalvaneGetProcess::Outcome& outcome);
    // Fills the result line from the last run and the nodes' figures; bytes
    // lost are counted only for scenarios that must end complete.
    void Record(const std::string& fault, const std::string& outcome, bool mustComplete);

    std::string Destination() const { return destination_; }

    test::ScopedEnvironment environment_;
    test::TemporaryFolder user_;     // the engine's temporary directory (TMPDIR)
    test::TemporaryFolder input_;    // the package's source folder
    test::TemporaryFolder root_;     // the CDN's content root
    test::TemporaryFolder sandbox_;  // holds the destination and bystanders
    test::TemporaryFolder scratch_;  // child process output
    std::string destination_;
    FileTree source_;
    std::unique_ptr<cdn::CdnServer> server_;
    pack::PackResult packed_;
    TreeSnapshot sandboxBefore_;
    std::vector<std::string> userEntriesBefore_;  // what TMPDIR held before the engine ran
    ResultLine result_;
    bool recordResult_ = true;
    int runs_ = 0;
    std::chrono::steady_clock::time_point started_;
};

}  // namespace tvl::reliability
