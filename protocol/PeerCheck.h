// Who is on the other end of a socket, and the check that admits only the camera's own user.
#pragma once

#include <sys/types.h>

#include <functional>
#include <utility>

#include "base/Result.h"

namespace kova::wire {

struct PeerIdentity {
    pid_t pid = 0;
    uid_t uid = 0;
    gid_t gid = 0;
};

// Reads the identity of a connected socket's peer into `identity`: 0 or -errno.
using PeerIdentityReader = std::function<int(int socket, PeerIdentity& identity)>;

// The kernel's record of the peer (SO_PEERCRED).
int readPeerCredentials(int socket, PeerIdentity& identity);

// Admits only peers of one user. The reader is the seam through which a test presents a peer
// of another user.
// Threading: immutable; check() from any thread.
class PeerCheck {
  public:
    explicit PeerCheck(uid_t allowedUid, PeerIdentityReader reader = readPeerCredentials)
        : allowedUid_(allowedUid), reader_(std::move(reader)) {}

    // The peer's identity, or a base::Failure (-EACCES for a peer of another user).
    base::Result<PeerIdentity> check(int socket) const;

  private:
    uid_t allowedUid_;
    PeerIdentityReader reader_;
};

}  // namespace kova::wire
