// Where the camera's socket lives: $KOVA_SOCKET, else under $XDG_RUNTIME_DIR, else under /tmp.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

namespace kova::wire {

struct SocketLocation {
    std::string path;
    // A default folder (…/kova or /tmp/kova-<uid>) is the camera's own: it must belong to this
    // user and is kept at mode 0700. A folder named through KOVA_SOCKET is only created (0700)
    // when missing, and otherwise left as it is.
    bool privateFolder = true;
};

// Looks up an environment variable; null when unset.
using EnvironmentLookup = std::function<const char*(const char* name)>;

// $KOVA_SOCKET, else $XDG_RUNTIME_DIR/kova/camera.sock, else /tmp/kova-<uid>/camera.sock.
// Empty values count as unset; a relative XDG_RUNTIME_DIR is ignored.
SocketLocation resolveSocketPath(const EnvironmentLookup& lookup, uid_t uid);
// The same for this process's environment and user.
SocketLocation resolveSocketPath();

}  // namespace kova::wire
