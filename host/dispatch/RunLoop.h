// The main run loop: waits on file descriptors and runs posted work, on the thread that runs it.
//
// Threading: watch(), unwatch() and perform() may be called from any thread; callbacks run on
// the thread inside run(). stop() may be called from any thread (and from a signal-safe context
// through stopFromSignal()).
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "base/UniqueFD.h"

namespace kova::host {

class RunLoop {
  public:
    using FdCallback = std::function<void(std::uint32_t epollEvents)>;

    RunLoop();
    ~RunLoop();
    RunLoop(const RunLoop&) = delete;
    RunLoop& operator=(const RunLoop&) = delete;

    // The process's main run loop.
    static RunLoop& main();

    // Calls `callback` on the loop's thread whenever `fd` is ready for `epollEvents`.
    // Returns 0 or -errno (-EEXIST if `fd` is watched already). The callback may unwatch its
    // own fd; unwatch the fd before closing it.
    int watch(int fd, std::uint32_t epollEvents, FdCallback callback);
    void unwatch(int fd);
    // Runs `work` on the loop's thread soon, in order of posting. Work posted by the loop's own
    // thread while it runs costs no wake-up: the loop looks for it before it waits again.
    void perform(std::function<void()> work);
    // Serves until stop(); returns after the current callback finishes. A stop() that comes
    // while the loop is not running makes the next run() return at once.
    void run();
    void stop();
    // Async-signal-safe stop.
    void stopFromSignal();

  private:
    // Each watch has a serial, carried in its epoll events, so an event already fetched for an
    // fd that was unwatched (and perhaps reused) meanwhile is recognised as stale.
    struct Watch {
        std::uint32_t serial = 0;
        std::shared_ptr<FdCallback> callback;
    };

    void wake();
    // Runs the work posted before this call; true if more was posted meanwhile.
    bool drainPosted();

    base::UniqueFD epoll_;
    base::UniqueFD wakeup_;
    std::mutex mutex_;
    std::map<int, Watch> watched_;
    std::uint32_t nextSerial_ = 0;
    std::deque<std::function<void()>> posted_;
    // Set while the wake-up eventfd holds a count the loop has not read: posts from other
    // threads then need not write it again.
    std::atomic<bool> wakePending_{false};
    std::atomic<bool> stopRequested_{false};
};

}  // namespace kova::host

// Runs the main run loop until it is stopped.
void CFRunLoopRun();
void CFRunLoopStop(kova::host::RunLoop& loop);
