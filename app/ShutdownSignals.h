#pragma once

// Turns SIGINT, SIGTERM and SIGHUP into an orderly end of the program instead
// of the kernel's default. The constructor blocks them in the calling thread,
// and so in every thread started from it afterwards: it must run before the
// program starts any other thread. One watcher thread takes them from a
// signalfd. The first signal runs the handler on the watcher thread, which may
// lock like any other code but must return promptly (ask for the end, do not
// wait for it): a later signal, read only after it has returned, ends the
// process at once with status 128 + its number. Every operation may be called
// from any thread.

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace tvl {

class ShutdownSignals {
  public:
    using Handler = std::function<void(int signal)>;

    // Throws std::system_error when the watcher cannot be set up.
    ShutdownSignals();
    // Stops the watcher. The signals stay blocked: one that arrives while the
    // program finishes is dropped with it rather than cutting the end short.
    ~ShutdownSignals();
    ShutdownSignals(const ShutdownSignals&) = delete;
    ShutdownSignals& operator=(const ShutdownSignals&) = delete;

    // Runs the handler at once when a signal has already arrived; an empty
    // handler drops the old one. Each signal reaches one handler once. Returns
    // only once the old handler is no longer running, so that the caller may
    // free what it used; called from inside the handler it does not wait.
    void SetHandler(Handler handler);
    // The first signal received, 0 before any.
    int Received() const;
    // 128 + the first signal, the shell's way of saying what ended a program;
    // `otherwise` when none arrived.
    int ExitStatus(int otherwise) const;

    // The signals this class handles; a program started from here should get
    // them unblocked and with their default actions.
    static const int kSignals[3];

  private:
    void Watch();

    int signalFd_;
    int wakeFd_;
    mutable std::mutex mutex_;
    std::condition_variable handlerReturned_;
    Handler handler_;
    bool handlerRunning_;
    int received_;
    std::thread watcher_;
};

}  // namespace tvl
