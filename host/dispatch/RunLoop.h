// The main run loop: waits on file descriptors and runs posted work, on the thread that runs it.
//
// Threading: watch(), unwatch() and perform() may be called from any thread; callbacks run on
// the thread inside run(). stop() may be called from any thread (and from a signal-safe context
// through stopFromSignal()).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "host/base/UniqueFD.h"

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
    // Returns 0 or -errno. The callback may unwatch its own fd.
    int watch(int fd, std::uint32_t epollEvents, FdCallback callback);
    void unwatch(int fd);
    // Runs `work` on the loop's thread soon, in order of posting.
    void perform(std::function<void()> work);
    // Serves until stop(); returns after the current callback finishes.
    void run();
    void stop();
    // Async-signal-safe stop.
    void stopFromSignal();

private:
    void drainPosted();

    UniqueFD epoll_;
    UniqueFD wakeup_;
    std::mutex mutex_;
    std::map<int, std::shared_ptr<FdCallback>> watched_;
    std::vector<std::function<void()>> posted_;
    std::atomic<bool> stopRequested_{false};
};

}  // namespace kova::host

// Runs the main run loop until it is stopped.
void CFRunLoopRun();
void CFRunLoopStop(kova::host::RunLoop& loop);
