#include "tests/reliability/ReliabilityHarness.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <sstream>
#include <thread>

#include "app/TalvaneUpdaterMessages.h"
#include "engine/workflow/TransferError.h"
#include "tests/support/RandomFiles.h"
#include "tests/support/TestCdn.h"

namespace tvl::reliability {

namespace fs = std::filesystem;
using cdn::CdnEndpoint;

namespace {

bool EnvironmentFlag(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && std::string(value) != "" && std::string(value) != "0";
}

std::string Describe(const fs::directory_entry& entry) {
    std::error_code error;
    const fs::file_status status = entry.symlink_status(error);
    if (fs::is_symlink(status)) {
        return "link to " + fs::read_symlink(entry.path(), error).string();
    }
    if (fs::is_directory(status)) {
        return "folder";
    }
    if (fs::is_regular_file(status)) {
        const std::string bytes = ReadWholeFile(entry.path().string());
        return "file of " + std::to_string(bytes.size()) + " bytes, digest " +
               std::to_string(std::hash<std::string>()(bytes));
    }
    return "special file";
}

std::string Seconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", seconds);
    return text;
}

}  // namespace

const Mode& CurrentMode() {
    static const Mode mode = [] {
        Mode m;
        m.full = EnvironmentFlag("TALVANE_RELIABILITY_FULL");
        m.chunkSize = 64 * 1024;
        if (m.full) {
            m.bigFileBytes = 6 * 1024 * 1024 + 12345;
            m.smallFiles = 40;
            m.killRounds = 10;
        } else {
            m.bigFileBytes = 1024 * 1024 + 12345;
            m.smallFiles = 12;
            m.killRounds = 3;
        }
        return m;
    }();
    return mode;
}

std::uint32_t RandomSeed() {
    static const std::uint32_t seed = [] {
        if (const char* fixed = std::getenv("TALVANE_RELIABILITY_SEED")) {
            return static_cast<std::uint32_t>(std::strtoul(fixed, nullptr, 10));
        }
        return static_cast<std::uint32_t>(std::random_device()());
    }();
    return seed;
}

FileTree WriteSourceTree(const std::string& folder, const Mode& mode, std::uint32_t seed) {
    test::RandomFiles files(folder, seed);
    FileTree tree;
    const auto add = [&](const std::string& path, std::uint64_t size) { tree[path] = files.Write(path, size); };
    add("run.sh", 3000);
    add("empty.dat", 0);
    add("data/big.bin", mode.bigFileBytes);
    // Chunk boundaries: a file of exactly one chunk and one a byte longer.
    add("data/edge/exact.bin", mode.chunkSize);
    add("data/edge/plus-one.bin", mode.chunkSize + 1u);
    for (std::size_t i = 0; i < mode.smallFiles; ++i) {
        add("data/small/" + std::to_string(i) + ".bin", 1000 + i * 997);
    }
    return tree;
}

std::uint64_t TreeBytes(const FileTree& tree) {
    std::uint64_t total = 0;
    for (const auto& [path, bytes] : tree) {
        total += bytes.size();
    }
    return total;
}

std::size_t TreeChunks(const FileTree& tree, std::uint32_t chunkSize) {
    std::size_t chunks = 0;
    for (const auto& [path, bytes] : tree) {
        chunks += (bytes.size() + chunkSize - 1) / chunkSize;
    }
    return chunks;
}

std::uint64_t ZeroChunkBytes(const FileTree& tree, std::uint32_t chunkSize) {
    std::uint64_t zeros = 0;
    for (const auto& [path, bytes] : tree) {
        for (std::size_t at = 0; at < bytes.size(); at += chunkSize) {
            const std::size_t length = std::min<std::size_t>(chunkSize, bytes.size() - at);
            if (std::all_of(bytes.begin() + at, bytes.begin() + at + length, [](char c) { return c == 0; })) {
                zeros += length;
            }
        }
    }
    return zeros;
}

std::uint64_t BytesLost(const FileTree& source, const std::string& destination) {
    std::uint64_t lost = 0;
    for (const auto& [path, expected] : source) {
        const std::string actual = ReadWholeFile((fs::path(destination) / path).string());
        const std::size_t common = std::min(actual.size(), expected.size());
        for (std::size_t i = 0; i < common; ++i) {
            lost += actual[i] != expected[i] ? 1 : 0;
        }
        lost += expected.size() - common;
    }
    return lost;
}

std::size_t IntactChunks(const FileTree& source, const std::string& destination, std::uint32_t chunkSize) {
    std::size_t intact = 0;
    for (const auto& [path, expected] : source) {
        const std::string actual = ReadWholeFile((fs::path(destination) / path).string());
        for (std::size_t offset = 0; offset < expected.size(); offset += chunkSize) {
            const std::size_t length = std::min<std::size_t>(chunkSize, expected.size() - offset);
            intact += actual.size() >= offset + length && actual.compare(offset, length, expected, offset, length) == 0;
        }
    }
    return intact;
}

std::vector<std::string> ExtraFiles(const FileTree& source, const std::string& destination) {
    std::vector<std::string> extra;
    std::error_code error;
    for (fs::recursive_directory_iterator it(destination, error), end; !error && it != end; it.increment(error)) {
        if (it->is_regular_file() || it->is_symlink()) {
            const std::string relative = fs::relative(it->path(), destination).generic_string();
            if (source.count(relative) == 0) {
                extra.push_back(relative);
            }
        }
    }
    return extra;
}

TreeSnapshot TreeSnapshot::Take(const std::string& root, const std::string& excluded) {
    TreeSnapshot snapshot;
    const fs::path skip = excluded.empty() ? fs::path() : fs::path(excluded).lexically_normal();
    std::error_code error;
    fs::recursive_directory_iterator it(root, fs::directory_options::none, error);
    for (fs::recursive_directory_iterator end; !error && it != end; it.increment(error)) {
        if (!skip.empty() && it->path().lexically_normal() == skip) {
            it.disable_recursion_pending();
            continue;
        }
        snapshot.entries_[fs::relative(it->path(), root).generic_string()] = Describe(*it);
    }
    if (error) {
        snapshot.entries_["<walk error>"] = error.message();
    }
    return snapshot;
}

std::string TreeSnapshot::DifferencesTo(const TreeSnapshot& later) const {
    std::ostringstream text;
    for (const auto& [path, description] : entries_) {
        auto it = later.entries_.find(path);
        if (it == later.entries_.end()) {
            text << "removed: " << path << "\n";
        } else if (it->second != description) {
            text << "changed: " << path << " (" << description << " -> " << it->second << ")\n";
        }
    }
    for (const auto& [path, description] : later.entries_) {
        if (entries_.count(path) == 0) {
            text << "added: " << path << " (" << description << ")\n";
        }
    }
    return text.str();
}

ServedFigures NodeFigures(const cdn::CdnServer& server, std::size_t node) {
    ServedFigures figures;
    for (const cdn::CdnRequest& request : server.Requests(CdnEndpoint::Node(node))) {
        unsigned long long first = 0;
        unsigned long long last = 0;
        if (request.answeredStatus == 206 &&
            std::sscanf(request.range.c_str(), "bytes=%llu-%llu", &first, &last) == 2 && last >= first) {
            figures.bytes += last - first + 1;
            ++figures.answers;
        } else {
            ++figures.failures;
        }
    }
    return figures;
}

ServedFigures AllNodeFigures(const cdn::CdnServer& server) {
    ServedFigures total;
    for (std::size_t i = 0; i < server.NodeCount(); ++i) {
        const ServedFigures node = NodeFigures(server, i);
        total.bytes += node.bytes;
        total.answers += node.answers;
        total.failures += node.failures;
    }
    return total;
}

std::string RepeatedRanges(const cdn::CdnServer& server) {
    std::map<std::string, std::vector<std::string>> answers;
    for (std::size_t i = 0; i < server.NodeCount(); ++i) {
        for (const cdn::CdnRequest& request : server.Requests(CdnEndpoint::Node(i))) {
            answers[request.target + " " + request.range].push_back("node " + std::to_string(i) + ": " +
                                                                    std::to_string(request.answeredStatus));
        }
    }
    std::ostringstream text;
    for (const auto& [key, statuses] : answers) {
        if (std::count_if(statuses.begin(), statuses.end(),
                          [](const std::string& s) { return s.size() > 3 && s.substr(s.size() - 3) == "206"; }) > 1) {
            text << key << " <-";
            for (const std::string& status : statuses) {
                text << " [" << status << "]";
            }
            text << "\n";
        }
    }
    return text.str();
}

TalvaneGetProcess::TalvaneGetProcess(const std::vector<std::string>& arguments,
                                     const std::string& temporaryDirectory, const std::string& outputFolder) {
    static int serial = 0;
    const std::string stem = (fs::path(outputFolder) / ("run-" + std::to_string(++serial))).string();
    outPath_ = stem + ".out";
    errPath_ = stem + ".err";

    std::vector<std::string> argv = {TALVANE_GET_EXECUTABLE};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    // A developer's proxy must not reroute the child's loopback traffic.
    std::vector<std::string> envp = test::IsolatedChildEnvironment(temporaryDirectory);
    std::vector<char*> argvPointers;
    for (auto& a : argv) {
        argvPointers.push_back(a.data());
    }
    argvPointers.push_back(nullptr);
    std::vector<char*> envpPointers;
    for (auto& e : envp) {
        envpPointers.push_back(e.data());
    }
    envpPointers.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    // The CDN's listening sockets are not close-on-exec: a child holding a copy
    // would keep a port that the test refuses accepting connections.
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    started_ = std::chrono::steady_clock::now();
    const int error = posix_spawn(&pid_, argvPointers[0], &actions, nullptr, argvPointers.data(), envpPointers.data());
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        pid_ = -1;
        throw std::runtime_error(std::string("cannot start talvane-get: ") + std::strerror(error));
    }
}

TalvaneGetProcess::~TalvaneGetProcess() {
    if (pid_ > 0) {
        Kill();
    }
}

TalvaneGetProcess::Outcome TalvaneGetProcess::Wait(std::chrono::milliseconds limit) {
    if (pid_ <= 0) {
        return Outcome{};
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (true) {
        int status = 0;
        rusage usage{};
        const pid_t done = wait4(pid_, &status, WNOHANG, &usage);
        if (done == pid_) {
            return Collect(status, usage);
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            Outcome running;
            running.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
            running.err = ErrorSoFar();
            return running;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

TalvaneGetProcess::Outcome TalvaneGetProcess::Kill() {
    if (pid_ <= 0) {
        return Outcome{};
    }
    kill(pid_, SIGKILL);
    int status = 0;
    rusage usage{};
    while (wait4(pid_, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    return Collect(status, usage);
}

std::string TalvaneGetProcess::ErrorSoFar() const {
    return ReadWholeFile(errPath_);
}

TalvaneGetProcess::Outcome TalvaneGetProcess::Collect(int status, const rusage& usage) {
    Outcome outcome;
    outcome.finished = true;
    outcome.peakRssBytes = static_cast<std::uint64_t>(usage.ru_maxrss) * 1024;
    outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    if (WIFEXITED(status)) {
        outcome.exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        outcome.signal = WTERMSIG(status);
    }
    outcome.out = ReadWholeFile(outPath_);
    outcome.err = ReadWholeFile(errPath_);
    pid_ = -1;
    return outcome;
}

void AppendResult(const ResultLine& line) {
    const char* path = std::getenv("TALVANE_RELIABILITY_RESULTS");
    if (path == nullptr || *path == '\0') {
        return;
    }
    std::ostringstream text;
    const auto clean = [](std::string field) {
        std::replace(field.begin(), field.end(), '\t', ' ');
        std::replace(field.begin(), field.end(), '\n', ' ');
        return field;
    };
    text << clean(line.scenario) << '\t' << clean(line.fault) << '\t' << line.runs << '\t' << clean(line.outcome)
         << '\t' << (line.bytesServed ? std::to_string(*line.bytesServed) : "-") << '\t' << line.packageBytes << '\t'
         << (line.bytesLost ? std::to_string(*line.bytesLost) : "-") << '\t' << Seconds(line.seconds) << '\t'
         << (CurrentMode().full ? "full" : "short") << '\t' << line.verdict << '\n';
    const std::string bytes = text.str();
    // One write per line with O_APPEND keeps lines whole when test processes run side by side.
    const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
        const ssize_t written = write(fd, bytes.data(), bytes.size());
        (void)written;
        close(fd);
    }
}

std::vector<std::string> StoredTransferIds(const std::string& temporaryDirectory) {
    std::vector<std::pair<fs::file_time_type, std::string>> found;
    std::error_code error;
    for (fs::directory_iterator it(StoredTransfersFolder(temporaryDirectory), error), end; !error && it != end;
         it.increment(error)) {
        if (it->path().extension() == ".json") {
            found.emplace_back(it->last_write_time(), it->path().stem().string());
        }
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    std::vector<std::string> ids;
    for (auto& [time, id] : found) {
        ids.push_back(id);
    }
    return ids;
}

void ReliabilityTest::SetUp() {
    started_ = std::chrono::steady_clock::now();
    test::IsolateEngineEnvironment(environment_, user_.Path());
    destination_ = sandbox_.Join("work/dest");
    fs::create_directories(destination_);
    WriteWholeFile(sandbox_.Join("bystander.txt"), "left alone\n");
    WriteWholeFile(sandbox_.Join("work/neighbour.bin"), std::string(4096, '\x5a'));
    fs::create_directories(sandbox_.Join("work/empty-neighbour"));

    source_ = WriteSourceTree(input_.Path(), CurrentMode(), RandomSeed());
    cdn::CdnServerOptions options;
    options.contentRoot = root_.Path();
    options.nodeCount = 2;
    options.countryCode = "DE";
    server_ = std::make_unique<cdn::CdnServer>(options);

    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    result_.scenario = std::string(info->test_suite_name()) + "." + info->name();
    result_.packageBytes = TreeBytes(source_);
    RecordProperty("seed", std::to_string(RandomSeed()));
}

void ReliabilityTest::TearDown() {
    server_.reset();
    if (!recordResult_) {
        return;
    }
    result_.runs = runs_;
    result_.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    if (IsSkipped()) {
        result_.verdict = "skip";
    } else {
        result_.verdict = HasFailure() ? "FAIL" : "pass";
    }
    AppendResult(result_);
}

void ReliabilityTest::Pack(const std::vector<std::string>& nodes, const std::string& policy,
                           const std::vector<std::string>& countries) {
    pack::PackageOptions pack = PackOptions(nodes);
    pack.policy = policy;
    pack.countries = countries;
    PackWith(pack);
}

pack::PackageOptions ReliabilityTest::PackOptions(const std::vector<std::string>& nodes) const {
    pack::PackageOptions pack = test::CurrentPackageOptions(input_.Path(), root_.Path(), "1");
    pack.name = "Reliability";
    pack.run = "run.sh";
    pack.chunkSize = CurrentMode().chunkSize;
    pack.nodes = nodes.empty() ? test::CdnNodeAuthorities(*server_) : nodes;
    pack.threads = 2;
    return pack;
}

void ReliabilityTest::PackWith(const pack::PackageOptions& options) {
    packed_ = pack::BuildPackage(options);
    // Taken after packing: the content root may change, the sandbox must not.
    sandboxBefore_ = TreeSnapshot::Take(sandbox_.Path(), destination_);
    userEntriesBefore_.clear();
    for (const auto& entry : fs::directory_iterator(user_.Path())) {
        userEntriesBefore_.push_back(entry.path().filename().string());
    }
}

std::vector<std::string> ReliabilityTest::BaseArguments(unsigned retries) const {
    return test::CdnGetArguments(*server_, {"--work-threads", "4", "--parallel-works", "4", "--request-slots", "4",
                                            "--retries", std::to_string(retries), "--log-level", "-1", "--json"});
}

std::vector<std::string> ReliabilityTest::NewTransferArguments(unsigned retries) const {
    std::vector<std::string> arguments = BaseArguments(retries);
    arguments.insert(arguments.end(), {"--partner", "partner", "--package", "pkg", "--dest", destination_});
    return arguments;
}

std::vector<std::string> ReliabilityTest::RestoreArguments(const std::string& id, unsigned retries) const {
    std::vector<std::string> arguments = BaseArguments(retries);
    arguments.insert(arguments.end(), {"--restore", id});
    return arguments;
}

std::unique_ptr<TalvaneGetProcess> ReliabilityTest::Launch(const std::vector<std::string>& arguments) {
    ++runs_;
    return std::make_unique<TalvaneGetProcess>(arguments, user_.Path(), scratch_.Path());
}

TalvaneGetProcess::Outcome ReliabilityTest::RunToEnd(const std::vector<std::string>& arguments,
                                                     std::chrono::milliseconds limit) {
    auto process = Launch(arguments);
    TalvaneGetProcess::Outcome outcome = process->Wait(limit);
    if (!outcome.finished) {
        ADD_FAILURE() << "talvane-get still running after " << limit.count() << " ms; stderr so far:\n"
                      << outcome.err;
        outcome = process->Kill();
        outcome.finished = false;
    }
    return outcome;
}

void ReliabilityTest::ExpectDestinationMatchesSource() const {
    EXPECT_EQ(BytesLost(source_, destination_), 0u);
    EXPECT_EQ(ExtraFiles(source_, destination_), std::vector<std::string>{});
}

void ReliabilityTest::ExpectNothingWrittenOutsideDestination() const {
    EXPECT_EQ(sandboxBefore_.DifferencesTo(TreeSnapshot::Take(sandbox_.Path(), destination_)), "")
        << "the sandbox around the destination changed";
    // The engine's own folder is the only thing it may create in its temporary directory.
    for (const auto& entry : fs::directory_iterator(user_.Path())) {
        const std::string name = entry.path().filename().string();
        if (std::find(userEntriesBefore_.begin(), userEntriesBefore_.end(), name) == userEntriesBefore_.end()) {
            EXPECT_EQ(name, "Brennic Technologies");
        }
    }
}

void ReliabilityTest::ExpectDestinationEmpty() const {
    std::vector<std::string> entries;
    for (const auto& entry : fs::recursive_directory_iterator(destination_)) {
        entries.push_back(fs::relative(entry.path(), destination_).generic_string());
    }
    EXPECT_EQ(entries, std::vector<std::string>{}) << "nothing is written for a refused package";
}

std::string ReliabilityTest::ErrorLine(unsigned code) {
    const TalvaneUpdaterMessages messages;
    return "with error " + std::to_string(code) + ": " + messages.GetErrorMessage(static_cast<TransferError>(code));
}

std::string ReliabilityTest::OutcomeText(const TalvaneGetProcess::Outcome& outcome) {
    if (!outcome.finished) {
        return "timed out";
    }
    if (outcome.signal != 0) {
        return "signal " + std::to_string(outcome.signal);
    }
    if (outcome.exitCode == 0) {
        return "completed";
    }
    const std::string marker = "with error ";
    const std::size_t at = outcome.err.find(marker);
    if (at != std::string::npos) {
        return "error " + std::to_string(std::atoi(outcome.err.c_str() + at + marker.size()));
    }
    if (outcome.err.find("no such transfer") != std::string::npos) {
        return "no such transfer";
    }
    return "exit " + std::to_string(outcome.exitCode);
}

void ReliabilityTest::Record(const std::string& fault, const std::string& outcome, bool mustComplete) {
    result_.fault = fault;
    result_.outcome = outcome;
    result_.bytesServed = AllNodeFigures(*server_).bytes;
    if (mustComplete) {
        result_.bytesLost = BytesLost(source_, destination_);
    }
}

}  // namespace tvl::reliability
