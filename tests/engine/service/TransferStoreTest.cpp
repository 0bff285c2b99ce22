#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/property_tree/ptree.hpp>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <thread>

#include "engine/manifest/ManifestExceptions.h"
#include "engine/service/JsonTempFileManifestStore.h"
#include "engine/service/StoredTransfer.h"
#include "engine/service/TransferFactory.h"
#include "engine/service/TransferManager.h"
#include "engine/service/TransferManifest.h"
#include "engine/service/TransferState.h"
#include "tests/engine/service/TransferTestSupport.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/TemporaryFolder.h"

namespace tvl {
namespace {

namespace fs = std::filesystem;
using test::StateOf;
using test::WaitFor;

const std::string kId = "0123456789abcdef0123456789abcdef";
const std::string kOtherId = "fedcba9876543210fedcba9876543210";

std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteText(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// The property-tree JSON writer's form, which escapes "/".
std::string Escaped(std::string text) {
    for (std::size_t at = text.find('/'); at != std::string::npos; at = text.find('/', at + 2)) {
        text.insert(at, "\\");
    }
    return text;
}

std::string Stored(const std::string& id, const std::string& dest = "/dest") {
    return R"({"transferId":")" + id +
           R"(","partnerId":"partner","packageId":"pkg","versionId":"7","destPath":")" + dest + R"("})";
}

// Runs the function in a forked copy of this process and returns its exit
// code, or -1 when it did not exit normally.
int ExitCodeInChild(const std::function<int()>& function) {
    const pid_t child = fork();
    if (child == 0) {
        _exit(function());
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

// A transfer id and a destination that both name n.
std::string IdOf(std::uint32_t n) {
    char id[33];
    std::snprintf(id, sizeof id, "%032x", n);
    return id;
}

std::string DestOf(std::uint32_t n) {
    return "/dest/" + std::to_string(n) + std::string(300, 'x');
}

// The stored form of transfer n.
struct NumberedManifest : TransferManifest {
    explicit NumberedManifest(std::uint32_t n) {
        params.transferId = IdOf(n);
        params.partnerId = "partner";
        params.packageId = "pkg";
        params.versionId = "7";
        params.destPath = DestOf(n);
    }
};

class TransferStoreTest : public ::testing::Test {
  protected:
    TransferStoreTest() {
        environment.Set("TMPDIR", temp.Path());
        storeFolder = fs::path(temp.Path()) / "Brennic Technologies/Talvane Delivery/transfers";
    }

    fs::path FileOf(const std::string& id) const { return storeFolder / (id + ".json"); }

    test::TemporaryFolder temp;
    test::ScopedEnvironment environment;
    fs::path storeFolder;
    PosixSharedFileFactory files;
    JsonTempFileManifestStore<TransferManifest> store{"Brennic Technologies/Talvane Delivery/transfers",
                                                      &files};
};

TEST_F(TransferStoreTest, SavedManifestIsOneFlatJsonObjectInOrder) {
    TransferManifest manifest;
    manifest.params.transferId = kId;
    manifest.params.partnerId = "partner";
    manifest.params.packageId = "pkg";
    manifest.params.versionId = "7";
    manifest.params.destPath = "/home/u/Téléchargements";
    ASSERT_TRUE(store.Save(kId, manifest));
    EXPECT_EQ(ReadText(FileOf(kId)), Stored(kId, Escaped("/home/u/Téléchargements")) + "\n");
    struct stat info;
    ASSERT_EQ(stat(storeFolder.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u) << "folders made for the store are private";

    TransferManifest loaded;
    loaded.params.suspended = true;
    ASSERT_TRUE(store.Load(kId, loaded));
    EXPECT_EQ(loaded.params.destPath, "/home/u/Téléchargements");
    EXPECT_EQ(loaded.params.versionId, "7");
    EXPECT_FALSE(loaded.params.suspended) << "reading starts from default parameters";
    EXPECT_FALSE(store.Save(kId, manifest)) << "an existing file is not rewritten";
}

TEST_F(TransferStoreTest, ASaveThatRunsOutOfRoomLeavesNoFileBehind) {
    const NumberedManifest manifest(7);
    const int saved = ExitCodeInChild([&] {
        // A file size limit fails the write half-way as a full disk would.
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{100, 100};
        setrlimit(RLIMIT_FSIZE, &limit);
        return store.Save(IdOf(7), manifest) ? 1 : 0;
    });
    EXPECT_EQ(saved, 0) << "the save reports its failure";
    EXPECT_FALSE(fs::exists(FileOf(IdOf(7)))) << "no truncated file takes the transfer's name";
    EXPECT_TRUE(fs::is_empty(storeFolder)) << "and no temporary file stays";
    ASSERT_TRUE(store.Save(IdOf(7), manifest)) << "with room again the transfer can be stored";
    TransferManifest loaded;
    ASSERT_TRUE(store.Load(IdOf(7), loaded));
    EXPECT_EQ(loaded.params.destPath, DestOf(7));
}

// A child process saves one transfer after another until it is killed at a
// random moment. Afterwards every transfer it reported saved loads as it was
// written, the one under way loads whole or is absent, and what the kill left
// behind goes with the next save or removal of that transfer.
TEST_F(TransferStoreTest, AKillAtAnyMomentLeavesEachStoredTransferWholeOrAbsent) {
    constexpr int kRounds = 120;
    std::mt19937 random(4711);
    std::uniform_int_distribution<int> delayUs(0, 6000);
    int caughtUnderWay = 0;
    for (int round = 0; round < kRounds; ++round) {
        int report[2];
        ASSERT_EQ(pipe(report), 0);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(report[0]);
            for (std::uint32_t n = 0;; ++n) {
                if (!store.Save(IdOf(n), NumberedManifest(n))) {
                    _exit(3);
                }
                if (write(report[1], &n, sizeof n) != static_cast<ssize_t>(sizeof n)) {
                    _exit(4);
                }
            }
        }
        close(report[1]);
        std::this_thread::sleep_for(std::chrono::microseconds(delayUs(random)));
        kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status))
            << "round " << round << ": the child failed a save, status " << status;
        std::uint32_t n = 0;
        std::uint32_t saved = 0;
        while (read(report[0], &n, sizeof n) == static_cast<ssize_t>(sizeof n)) {
            saved = n + 1;
        }
        close(report[0]);

        for (std::uint32_t k = 0; k < saved; ++k) {
            TransferManifest loaded;
            ASSERT_TRUE(store.Load(IdOf(k), loaded)) << "round " << round << ", transfer " << k;
            EXPECT_EQ(loaded.params.destPath, DestOf(k));
        }
        const std::string pending = IdOf(saved);
        const bool present = fs::exists(FileOf(pending));
        if (present) {
            TransferManifest loaded;
            ASSERT_TRUE(store.Load(pending, loaded))
                << "round " << round << ": a part of a transfer was stored";
            EXPECT_EQ(loaded.params.destPath, DestOf(saved));
        }
        int stored = 0;
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(storeFolder, error)) {
            if (entry.path().extension() == ".json") {
                ++stored;
            } else {
                ++caughtUnderWay;
            }
        }
        EXPECT_EQ(stored, static_cast<int>(saved) + (present ? 1 : 0)) << "round " << round;

        EXPECT_NE(store.Save(pending, NumberedManifest(saved)), present) << "round " << round;
        for (std::uint32_t k = 0; k <= saved; ++k) {
            EXPECT_TRUE(store.Remove(IdOf(k))) << "round " << round << ", transfer " << k;
        }
        ASSERT_FALSE(fs::exists(fs::path(temp.Path()) / "Brennic Technologies"))
            << "round " << round << ": something was left behind in the store";
    }
    RecordProperty("killsThatLeftATemporaryFile", caughtUnderWay);
}

TEST_F(TransferStoreTest, LeftoversOfCutShortSavesAreNeverLoadedAndGoOnceOld) {
    const fs::path old = storeFolder / (kOtherId + ".json.Zz09aB.tmp");
    const fs::path fresh = storeFolder / (IdOf(5) + ".json.c4D5e6.tmp");
    WriteText(old, Stored(kOtherId));
    WriteText(fresh, Stored(IdOf(5)));
    fs::last_write_time(old, fs::file_time_type::clock::now() - std::chrono::hours(1));
    TransferManifest manifest;
    EXPECT_FALSE(store.Load(kOtherId, manifest)) << "a temporary file is not a stored transfer";
    ASSERT_TRUE(store.Save(kId, NumberedManifest(1)));
    EXPECT_FALSE(fs::exists(old)) << "an old leftover of another transfer goes with any save";
    EXPECT_TRUE(fs::exists(fresh)) << "a recent one may belong to a save under way";
}

TEST_F(TransferStoreTest, RemoveTakesEmptyFoldersUpToTheTemporaryDirectory) {
    TransferManifest manifest;
    manifest.params.transferId = kId;
    ASSERT_TRUE(store.Save(kId, manifest));
    ASSERT_TRUE(store.Remove(kId));
    EXPECT_FALSE(fs::exists(fs::path(temp.Path()) / "Brennic Technologies"));
    EXPECT_TRUE(fs::exists(temp.Path()));
    EXPECT_FALSE(store.Remove(kId)) << "nothing left to remove";
}

TEST_F(TransferStoreTest, BadStoredFilesAreNotLoaded) {
    const std::vector<std::string> bad = {
        "",
        "not json at all",
        "[1,2,3]",
        R"({"transferId":")" + kId + R"(","partnerId":"p","packageId":"k","versionId":"v"})",  // no destPath
        R"({"transferId":")" + kId +
            R"(","partnerId":{"a":"b"},"packageId":"k","versionId":"v","destPath":"d"})",
        std::string(200, '[') + std::string(200, ']'),
        R"({"transferId":")" + kId + R"(","partnerId":")" + std::string(2 << 20, 'x') + R"("})",
    };
    for (const auto& text : bad) {
        WriteText(FileOf(kId), text);
        TransferManifest manifest;
        EXPECT_FALSE(store.Load(kId, manifest)) << text.substr(0, 80);
    }
    fs::remove(FileOf(kId));
    fs::create_directories(FileOf(kId));
    TransferManifest manifest;
    EXPECT_FALSE(store.Load(kId, manifest)) << "a folder where the file belongs";
}

TEST_F(TransferStoreTest, KeysThatAreNotTransferIdsNeverTouchTheDisk) {
    TransferManifest manifest;
    manifest.params.transferId = kId;
    for (const std::string key : {"../escape", "/etc/passwd", "0123456789ABCDEF0123456789ABCDEF", "short", "",
                                  "0123456789abcdef0123456789abcde/", "0123456789abcdef0123456789abcdef0"}) {
        EXPECT_FALSE(store.Save(key, manifest)) << key;
        EXPECT_FALSE(store.Load(key, manifest)) << key;
        EXPECT_FALSE(store.Remove(key)) << key;
    }
    EXPECT_FALSE(fs::exists(fs::path(temp.Path()) / "escape.json"));
    EXPECT_FALSE(fs::exists(fs::path(temp.Path()) / "Brennic Technologies")) << "nothing created";
}

TEST_F(TransferStoreTest, UnreadableFolderFailsCleanly) {
    if (geteuid() == 0) {
        GTEST_SKIP() << "permissions do not bind root";
    }
    WriteText(FileOf(kId), Stored(kId));
    fs::permissions(storeFolder, fs::perms::none);
    TransferManifest manifest;
    EXPECT_FALSE(store.Load(kId, manifest));
    fs::permissions(storeFolder, fs::perms::owner_all);
}

TEST(TransferManifestTest, EveryKeyIsRequired) {
    for (const char* missing : {"transferId", "partnerId", "packageId", "versionId", "destPath"}) {
        boost::property_tree::ptree tree;
        for (const char* key : {"transferId", "partnerId", "packageId", "versionId", "destPath"}) {
            if (std::string(key) != missing) {
                tree.put(key, "x");
            }
        }
        TransferManifest manifest;
        EXPECT_THROW(manifest.Read(tree), ManifestParseException) << missing;
    }
}

// The managers, over a store in a fresh temporary directory and transfers on
// the fake workflows.
class TransferManagerTest : public TransferStoreTest {
  protected:
    TransferManagerTest() : storedFactory(&store, &workflows), standardFactory(&workflows) {
        env.behavior.transferFactory = &storedFactory;
    }

    std::unique_ptr<TempFileTransferManager> NewManager() {
        return std::make_unique<TempFileTransferManager>(&store);
    }

    TransferParams Request() const {
        TransferParams params;
        params.partnerId = "partner";
        params.packageId = "pkg";
        return params;
    }

    test::TransferEnvironment env;
    test::FakeWorkflowFactory workflows;
    StoredTransferFactory storedFactory;
    StandardTransferFactory standardFactory;
    test::TemporaryFolder destination;
};

TEST_F(TransferManagerTest, CreateGivesFreshIdsAndGetFindsThem) {
    OfflineTransferManager manager;
    env.behavior.transferFactory = &standardFactory;
    auto a = manager.Create(Request(), env.behavior);
    auto b = manager.Create(Request(), env.behavior);
    ASSERT_TRUE(a && b);
    const std::string idA = a->GetStatus().transferId;
    EXPECT_TRUE(IsWellFormedTransferId(idA));
    EXPECT_NE(idA, b->GetStatus().transferId);
    EXPECT_EQ(manager.Get(idA, env.behavior), a);
    EXPECT_FALSE(manager.Get(kId, env.behavior));
    manager.Shutdown();
    EXPECT_FALSE(manager.Create(Request(), env.behavior)) << "shut down";
    EXPECT_FALSE(manager.Get(idA, env.behavior));
    EXPECT_EQ(StateOf(a->GetStatus()), TransferState::Canceled) << "never-started transfers are canceled";
}

TEST_F(TransferManagerTest, StartedTransferIsStoredSuspendedAtShutdownAndRestoredByANewManager) {
    std::string id;
    {
        auto manager = NewManager();
        auto transfer = manager->Create(Request(), env.behavior);
        ASSERT_TRUE(transfer);
        id = transfer->Initialize().transferId;
        ASSERT_TRUE(WaitFor([&] { return StateOf(transfer->GetStatus()) == TransferState::Initialized; }));
        EXPECT_FALSE(fs::exists(FileOf(id))) << "nothing stored before the start";
        transfer->Start(destination.Path());
        ASSERT_TRUE(fs::exists(FileOf(id)));
        EXPECT_EQ(ReadText(FileOf(id)), Stored(id, Escaped(destination.Path())) + "\n");
        manager->Shutdown();
        EXPECT_EQ(StateOf(transfer->GetStatus()), TransferState::Suspended);
        EXPECT_TRUE(fs::exists(FileOf(id))) << "suspension keeps the stored file";
        EXPECT_EQ(manager->Get(id, env.behavior), transfer) << "still found after shutdown";
    }
    auto manager = NewManager();
    auto restored = manager->Get(id, env.behavior);
    ASSERT_TRUE(restored);
    EXPECT_EQ(manager->Get(id, env.behavior), restored) << "one transfer per id";
    TransferStatus status = restored->GetStatus();
    EXPECT_EQ(StateOf(status), TransferState::Suspended);
    EXPECT_EQ(status.destPath, destination.Path());
    EXPECT_EQ(status.versionId, "7");
    EXPECT_EQ(StateOf(restored->Restore()), TransferState::Initializing);
    ASSERT_TRUE(WaitFor([&] { return StateOf(restored->GetStatus()) == TransferState::Initialized; }));
    EXPECT_EQ(StateOf(restored->Start("/another/place")), TransferState::Initialized);
    EXPECT_EQ(StateOf(restored->Start("?")), TransferState::Transferring);
    ASSERT_TRUE(WaitFor([&] { return StateOf(restored->GetStatus()) == TransferState::Completed; }));
    EXPECT_TRUE(fs::exists(FileOf(id))) << "completed transfers keep their file";
    EXPECT_EQ(StateOf(restored->Cancel(false)), TransferState::Completed) << "refused";
    EXPECT_FALSE(fs::exists(FileOf(id))) << "but the stored file goes";
}

TEST_F(TransferManagerTest, UnknownGarbageAndForeignStoredFilesGiveNoTransfer) {
    auto manager = NewManager();
    EXPECT_FALSE(manager->Get(kId, env.behavior)) << "no stored file";
    WriteText(FileOf(kId), Stored(kOtherId));
    EXPECT_FALSE(manager->Get(kId, env.behavior)) << "a file naming another id";
    EXPECT_TRUE(fs::exists(FileOf(kId))) << "and it is left alone";
    WriteText(FileOf(kOtherId), "\x01\x02garbage");
    EXPECT_FALSE(manager->Get(kOtherId, env.behavior));
    for (const std::string id : {"../../../etc/passwd", "?", "", "0123456789ABCDEF0123456789ABCDEF"}) {
        EXPECT_FALSE(manager->Get(id, env.behavior)) << id;
    }
    manager->Shutdown();
    fs::remove(FileOf(kId));
    WriteText(FileOf(kId), Stored(kId));
    auto transfer = manager->Get(kId, env.behavior);
    ASSERT_TRUE(transfer) << "stored transfers load after shutdown too";
    EXPECT_EQ(StateOf(transfer->GetStatus()), TransferState::Suspended);
}

TEST_F(TransferManagerTest, CancelOfAStoredTransferRemovesItsFileUnlessSuspended) {
    WriteText(FileOf(kId), Stored(kId, destination.Path()));
    auto manager = NewManager();
    auto transfer = manager->Get(kId, env.behavior);
    ASSERT_TRUE(transfer);
    EXPECT_EQ(StateOf(transfer->Cancel(false)), TransferState::Suspended) << "suspended is final: refused";
    EXPECT_TRUE(fs::exists(FileOf(kId))) << "a suspended transfer keeps its file";
    transfer->Restore();
    EXPECT_EQ(StateOf(transfer->Cancel(false)), TransferState::Canceled);
    EXPECT_FALSE(fs::exists(FileOf(kId)));
}

}  // namespace
}  // namespace tvl
