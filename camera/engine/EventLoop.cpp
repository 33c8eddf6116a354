// The run loop as the engine's event loop.
#include "camera/engine/EventLoop.h"

#include <sys/epoll.h>

namespace kova::engine {

int RunLoopEvents::watch(int fd, std::function<void()> onReady) {
    // A hang-up or an error is reported whatever is asked for; the reader finds out which.
    return loop_.watch(fd, EPOLLIN, [onReady = std::move(onReady)](std::uint32_t) { onReady(); });
}

}  // namespace kova::engine
