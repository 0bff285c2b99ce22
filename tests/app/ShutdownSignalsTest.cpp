#include "app/ShutdownSignals.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "app/PosixProcess.h"
#include "tests/support/FileBytes.h"
#include "tests/support/PollUntil.h"
#include "tests/support/TemporaryFolder.h"

namespace tvl {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The signals are blocked for the whole process, so each case runs in a child
// process of its own, which reports a broken expectation by its exit code.
TEST(ShutdownSignalsTest, TheFirstSignalReachesTheHandlerOnceAndASecondEndsTheProcessAtOnce) {
    EXPECT_EXIT(
        {
            ShutdownSignals signals;
            std::atomic<int> seen{0};
            std::atomic<int> calls{0};
            kill(getpid(), SIGHUP);
            // One that comes before the handler is kept for it.
            if (!test::PollUntil([&] { return signals.Received() == SIGHUP; }, 10s, 5ms)) {
                _exit(1);
            }
            signals.SetHandler([&](int number) {
                seen = number;
                ++calls;
            });
            if (seen != SIGHUP || calls != 1 || signals.ExitStatus(0) != 128 + SIGHUP) {
                _exit(2);
            }
            kill(getpid(), SIGTERM);
            test::PollUntil([] { return false; }, 10s, 10ms);
            _exit(3);
        },
        ::testing::ExitedWithCode(128 + SIGTERM), "second termination signal: ending at once");
}

// The owner drops the handler before it frees what the handler uses, so the
// drop must not return while the watcher is still inside the old handler.
TEST(ShutdownSignalsTest, DroppingTheHandlerWaitsForACallInProgressExceptFromTheHandlerItself) {
    EXPECT_EXIT(
        {
            ShutdownSignals signals;
            std::atomic<bool> entered{false};
            std::atomic<bool> finished{false};
            signals.SetHandler([&](int) {
                entered = true;
                std::this_thread::sleep_for(300ms);
                finished = true;
            });
            kill(getpid(), SIGINT);
            if (!test::PollUntil([&] { return entered.load(); }, 10s, 1ms)) {
                _exit(1);
            }
            signals.SetHandler(ShutdownSignals::Handler());
            if (!finished) {
                _exit(2);
            }
            _exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(
        {
            ShutdownSignals signals;
            std::atomic<bool> dropped{false};
            signals.SetHandler([&](int) {
                signals.SetHandler(ShutdownSignals::Handler());
                dropped = true;
            });
            kill(getpid(), SIGTERM);
            _exit(test::PollUntil([&] { return dropped.load(); }, 10s, 5ms) ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(ShutdownSignalsTest, WithoutASignalTheStatusIsTheProgramsOwnAndALaunchedProgramGetsThemUnblocked) {
    test::TemporaryFolder folder;
    const fs::path script = folder.Join("mask.sh");
    const fs::path record = folder.Join("mask.txt");
    std::ofstream(script) << "#!/bin/sh\nexec grep '^SigBlk' /proc/self/status > '" << record.string() << "'\n";
    fs::permissions(script, fs::perms::owner_all);
    EXPECT_EXIT(
        {
            ShutdownSignals signals;
            if (signals.Received() != 0 || signals.ExitStatus(7) != 7) {
                _exit(1);
            }
            PosixProcess process(script.string());
            if (!process.Run(true, false, std::string(), std::string())) {
                _exit(2);
            }
            _exit(test::ReadWholeFile(record) == "SigBlk:\t0000000000000000\n" ? 0 : 3);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace tvl
