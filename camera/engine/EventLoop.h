// EventLoop: what the engine needs from the thread that serves the client sockets (watching fds
// and running posted work), and the run loop that plays it in the camera process.
//
// Threading: perform() may be called from any thread; watch() and unwatch() only from the
// loop's own thread. Fd callbacks and posted work run on the loop's thread, one at a time.
#pragma once

#include <functional>

#include "host/dispatch/RunLoop.h"

namespace kova::engine {

// Runs work elsewhere, later, in the order given: the host's callback queue.
using Executor = std::function<void(std::function<void()> work)>;

class EventLoop {
  public:
    virtual ~EventLoop() = default;

    // Calls `onReady` on the loop's thread whenever `fd` can be read or has hung up.
    // Returns 0 or -errno.
    virtual int watch(int fd, std::function<void()> onReady) = 0;
    // Stops the callbacks for `fd`; call it before closing the fd.
    virtual void unwatch(int fd) = 0;
    // Runs `work` on the loop's thread soon, after what was posted before it.
    virtual void perform(std::function<void()> work) = 0;
};

// The camera process's run loop as an EventLoop.
class RunLoopEvents final : public EventLoop {
  public:
    explicit RunLoopEvents(host::RunLoop& loop) : loop_(loop) {}

    int watch(int fd, std::function<void()> onReady) override;
    void unwatch(int fd) override { loop_.unwatch(fd); }
    void perform(std::function<void()> work) override { loop_.perform(std::move(work)); }

  private:
    host::RunLoop& loop_;
};

}  // namespace kova::engine
