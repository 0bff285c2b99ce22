#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <boost/property_tree/ptree.hpp>
#include <filesystem>
#include <fstream>
#include <sstream>

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
