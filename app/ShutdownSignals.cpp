#include "app/ShutdownSignals.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <system_error>

namespace tvl {
namespace {

sigset_t HandledSet() {
    sigset_t set;
    sigemptyset(&set);
    for (const int number : ShutdownSignals::kSignals) {
        sigaddset(&set, number);
    }
    return set;
}

[[noreturn]] void EndAtOnce(int number) {
    // Only async-signal-safe calls from here on: other threads keep running.
    const char* name = number == SIGINT ? "interrupt" : (number == SIGTERM ? "termination" : "hang-up");
    const std::string line = std::string("second ") + name + " signal: ending at once\n";
    const ssize_t ignored = write(STDERR_FILENO, line.data(), line.size());
    (void)ignored;
    _exit(128 + number);
}

}  // namespace

const int ShutdownSignals::kSignals[3] = {SIGINT, SIGTERM, SIGHUP};

ShutdownSignals::ShutdownSignals() : signalFd_(-1), wakeFd_(-1), handlerRunning_(false), received_(0) {
    const sigset_t set = HandledSet();
    const int blocked = pthread_sigmask(SIG_BLOCK, &set, nullptr);
    if (blocked != 0) {
        throw std::system_error(blocked, std::generic_category(), "ShutdownSignals: blocking the signals");
    }
    signalFd_ = signalfd(-1, &set, SFD_CLOEXEC);
    wakeFd_ = eventfd(0, EFD_CLOEXEC);
    if (signalFd_ < 0 || wakeFd_ < 0) {
        const int error = errno;
        if (signalFd_ >= 0) {
            close(signalFd_);
        }
        if (wakeFd_ >= 0) {
            close(wakeFd_);
        }
        throw std::system_error(error, std::generic_category(), "ShutdownSignals: signalfd");
    }
    watcher_ = std::thread([this] { Watch(); });
}

ShutdownSignals::~ShutdownSignals() {
    const std::uint64_t one = 1;
    const ssize_t ignored = write(wakeFd_, &one, sizeof one);
    (void)ignored;
    watcher_.join();
    close(signalFd_);
    close(wakeFd_);
}

void ShutdownSignals::SetHandler(Handler handler) {
    int received;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        handler_ = handler;
        received = received_;
        // The watcher runs a copy of the old handler outside the lock; the
        // caller typically frees what that handler points to next.
        if (std::this_thread::get_id() != watcher_.get_id()) {
            handlerReturned_.wait(lock, [this] { return !handlerRunning_; });
        }
    }
    if (received != 0 && handler) {
        handler(received);
    }
}

int ShutdownSignals::Received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

int ShutdownSignals::ExitStatus(int otherwise) const {
    const int received = Received();
    return received != 0 ? 128 + received : otherwise;
}

void ShutdownSignals::Watch() {
    for (;;) {
        pollfd fds[2] = {{signalFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (fds[1].revents != 0) {
            return;
        }
        signalfd_siginfo info;
        if (read(signalFd_, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) {
            continue;
        }
        const int number = static_cast<int>(info.ssi_signo);
        Handler handler;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (received_ != 0) {
                EndAtOnce(number);
            }
            received_ = number;
            handler = handler_;
            handlerRunning_ = static_cast<bool>(handler);
        }
        if (handler) {
            handler(number);
            handler = Handler();
            {
                std::lock_guard<std::mutex> lock(mutex_);
                handlerRunning_ = false;
            }
            handlerReturned_.notify_all();
        }
    }
}

}  // namespace tvl
