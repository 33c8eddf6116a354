// Listener: the camera's listening socket, held under a lock so that a second camera finds the
// path taken; connectTo(): a client's socket connected to the camera.
#pragma once

#include <memory>
#include <string>

#include "base/Result.h"
#include "base/UniqueFD.h"
#include "protocol/Protocol.h"
#include "protocol/SocketPath.h"

namespace kova::wire {

// The camera's listening socket (non-blocking, close-on-exec). It holds a lock on
// "<path>.lock" for its whole life, so a second camera finds the path taken instead of replacing
// a live socket; it removes the socket file when it goes.
//
// Threading: one owner; accept() from one thread at a time.
class Listener {
  public:
    // Creates the folder if needed, takes the lock, replaces a stale socket file and listens.
    // Fails with "another kova-camera is already serving <path>" when one is.
    static base::Result<std::unique_ptr<Listener>> listen(const SocketLocation& location);
    // Takes a listening socket a service manager bound and handed over (socket activation): a
    // SOCK_SEQPACKET Unix socket bound to a path. It takes the same lock as listen(), so a second
    // camera is refused all the same; the socket file stays the service manager's and is left in
    // place when the Listener goes.
    static base::Result<std::unique_ptr<Listener>> adopt(base::UniqueFD socket);

    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    int fd() const { return socket_.get(); }
    const std::string& path() const { return path_; }

    // The next client's socket (blocking mode, close-on-exec), or -EAGAIN when none waits.
    base::Result<base::UniqueFD> accept() const;

  private:
    Listener(base::UniqueFD socket, base::UniqueFD lock, std::string path, bool ownsFile)
        : socket_(std::move(socket)),
          lock_(std::move(lock)),
          path_(std::move(path)),
          ownsFile_(ownsFile) {}

    base::UniqueFD socket_;
    base::UniqueFD lock_;
    std::string path_;
    bool ownsFile_;  // removes the socket file when it goes
};

// A socket connected to the camera at `path` (blocking mode, close-on-exec). Fails with
// "no kova-camera is serving <path>" when nothing listens there.
base::Result<base::UniqueFD> connectTo(const std::string& path);

}  // namespace kova::wire
