// The peer's credentials, and admitting only the camera's own user.
#include "protocol/PeerCheck.h"

#include <sys/socket.h>

#include <cerrno>

#include "protocol/Sentences.h"

namespace kova::wire {
namespace {

using namespace sentences;

}  // namespace

int readPeerCredentials(int socket, PeerIdentity& identity) {
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &credentials, &length) < 0) return -errno;
    identity = PeerIdentity{credentials.pid, credentials.uid, credentials.gid};
    return 0;
}

base::Result<PeerIdentity> PeerCheck::check(int socket) const {
    PeerIdentity identity;
    if (const int error = reader_(socket, identity); error < 0) {
        return systemFailure(-error, "cannot read the peer's credentials");
    }
    if (identity.uid != allowedUid_) {
        return base::Failure{-EACCES,
                             says("process ", identity.pid, " belongs to uid ", identity.uid,
                                  ", not to the camera's user (uid ", allowedUid_, ")")};
    }
    return identity;
}

}  // namespace kova::wire
