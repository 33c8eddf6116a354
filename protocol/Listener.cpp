// Listening on, adopting and connecting to the camera's socket.
#include "protocol/Listener.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "protocol/Sentences.h"

namespace kova::wire {
namespace {

using base::Failure;
using base::Result;
using base::UniqueFD;
using namespace sentences;

std::optional<Failure> fillAddress(const std::string& path, sockaddr_un& address) {
    address = {};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        return Failure{-ENAMETOOLONG, says("socket path \"", path, "\" is empty or longer than ",
                                           sizeof address.sun_path - 1, " bytes")};
    }
    std::memcpy(address.sun_path, path.data(), path.size());
    return std::nullopt;
}

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::optional<Failure> prepareFolder(const std::string& folder, bool privateFolder) {
    if (::mkdir(folder.c_str(), 0700) < 0 && errno != EEXIST) {
        return systemFailure(errno, says("cannot create the socket folder ", folder));
    }
    struct stat status {};
    // A private folder must be the folder itself, never a link planted in its place.
    const int statResult =
        privateFolder ? ::lstat(folder.c_str(), &status) : ::stat(folder.c_str(), &status);
    if (statResult < 0) return systemFailure(errno, says("cannot inspect ", folder));
    if (!S_ISDIR(status.st_mode)) {
        return Failure{-ENOTDIR, says("socket folder ", folder, " is not a folder")};
    }
    if (!privateFolder) return std::nullopt;
    if (status.st_uid != ::geteuid()) {
        return Failure{-EPERM, says("socket folder ", folder, " belongs to another user (uid ",
                                    status.st_uid, ")")};
    }
    if ((status.st_mode & 07777) != 0700 && ::chmod(folder.c_str(), 0700) < 0) {
        return systemFailure(errno, says("cannot make ", folder, " private"));
    }
    return std::nullopt;
}

// Takes the lock "<path>.lock" that marks the camera serving `path`.
Result<UniqueFD> takeLock(const std::string& path) {
    const std::string lockPath = path + ".lock";
    UniqueFD lock(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!lock) return systemFailure(errno, says("cannot open the lock file ", lockPath));
    int locked;
    do {
        locked = ::flock(lock.get(), LOCK_EX | LOCK_NB);
    } while (locked < 0 && errno == EINTR);
    if (locked < 0) {
        if (errno == EWOULDBLOCK) {
            return Failure{-EADDRINUSE, says("another kova-camera is already serving ", path)};
        }
        return systemFailure(errno, says("cannot lock ", lockPath));
    }
    return lock;
}

enum class Occupant { Nobody, Live, Unknown };

struct Probe {
    Occupant occupant;
    int error = 0;  // the errno that left it Unknown or Nobody
};

// Whether something accepts connections on an existing socket file.
Probe probe(const sockaddr_un& address) {
    UniqueFD socket(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!socket) return Probe{Occupant::Unknown, errno};
    int result;
    do {
        result =
            ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (result < 0 && errno == EINTR);
    const int error = result < 0 ? errno : 0;
    // EAGAIN: a listener whose backlog is full, alive all the same.
    if (result == 0 || error == EAGAIN) return Probe{Occupant::Live};
    if (error == ECONNREFUSED || error == ENOENT) return Probe{Occupant::Nobody, error};
    return Probe{Occupant::Unknown, error};
}

}  // namespace

Result<std::unique_ptr<Listener>> Listener::listen(const SocketLocation& location) {
    const std::string& path = location.path;
    sockaddr_un address;
    if (auto failure = fillAddress(path, address)) return *failure;
    if (auto failure = prepareFolder(folderOf(path), location.privateFolder)) return *failure;

    Result<UniqueFD> lockResult = takeLock(path);
    if (!lockResult.ok()) return lockResult.failure();
    UniqueFD lock = std::move(lockResult.value());

    // The lock is ours, yet a socket handed over by a service manager may still be served:
    // look before replacing the file.
    struct stat status {};
    if (::lstat(path.c_str(), &status) == 0) {
        if (!S_ISSOCK(status.st_mode)) {
            return Failure{-EEXIST, says(path, " exists and is not a socket")};
        }
        const Probe occupied = probe(address);
        switch (occupied.occupant) {
            case Occupant::Live:
                // No camera holds the lock, so what answers is not one serving the path itself:
                // usually a service manager's socket unit, which starts a camera on demand.
                return Failure{-EADDRINUSE,
                               says("another process is already listening on ", path,
                                    " (most likely the socket unit kova-camera.socket, which "
                                    "starts a camera when a client connects; stop it with "
                                    "systemctl --user stop kova-camera.socket, or set "
                                    "KOVA_SOCKET to serve elsewhere)")};
            case Occupant::Unknown:
                return systemFailure(occupied.error,
                                     says("cannot tell whether ", path, " is in use"));
            case Occupant::Nobody:
                break;
        }
        if (::unlink(path.c_str()) < 0 && errno != ENOENT) {
            return systemFailure(errno, says("cannot remove the stale socket ", path));
        }
    } else if (errno != ENOENT) {
        return systemFailure(errno, says("cannot inspect ", path));
    }

    UniqueFD socket(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!socket) return systemFailure(errno, "cannot create a socket");
    if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0) {
        return systemFailure(errno, says("cannot bind ", path));
    }
    if (::listen(socket.get(), static_cast<int>(kMaxClients)) < 0) {
        const int error = errno;
        ::unlink(path.c_str());
        return systemFailure(error, says("cannot listen on ", path));
    }
    return std::unique_ptr<Listener>(
        new Listener(std::move(socket), std::move(lock), path, /*ownsFile=*/true));
}

Result<std::unique_ptr<Listener>> Listener::adopt(UniqueFD socket) {
    int value = 0;
    socklen_t length = sizeof value;
    if (::getsockopt(socket.get(), SOL_SOCKET, SO_DOMAIN, &value, &length) < 0) {
        return systemFailure(errno, "the handed-over socket cannot be inspected");
    }
    if (value != AF_UNIX) return Failure{-EINVAL, "the handed-over socket is not a Unix socket"};
    length = sizeof value;
    if (::getsockopt(socket.get(), SOL_SOCKET, SO_TYPE, &value, &length) < 0 ||
        value != SOCK_SEQPACKET) {
        return Failure{-EINVAL, "the handed-over socket is not a SOCK_SEQPACKET socket"};
    }
    length = sizeof value;
    if (::getsockopt(socket.get(), SOL_SOCKET, SO_ACCEPTCONN, &value, &length) < 0 || value == 0) {
        return Failure{-EINVAL, "the handed-over socket is not listening"};
    }
    sockaddr_un address{};
    socklen_t addressLength = sizeof address;
    if (::getsockname(socket.get(), reinterpret_cast<sockaddr*>(&address), &addressLength) < 0) {
        return systemFailure(errno, "the handed-over socket has no address");
    }
    if (addressLength <= offsetof(sockaddr_un, sun_path) || address.sun_path[0] == '\0') {
        return Failure{-EINVAL, "the handed-over socket is not bound to a path"};
    }
    const std::size_t pathBytes = addressLength - offsetof(sockaddr_un, sun_path);
    const std::string path(address.sun_path, strnlen(address.sun_path, pathBytes));

    Result<UniqueFD> lock = takeLock(path);
    if (!lock.ok()) return lock.failure();
    // Accepting must never wait, whatever mode the service manager left it in.
    const int flags = ::fcntl(socket.get(), F_GETFL);
    if (flags < 0 || ::fcntl(socket.get(), F_SETFL, flags | O_NONBLOCK) < 0 ||
        ::fcntl(socket.get(), F_SETFD, FD_CLOEXEC) < 0) {
        return systemFailure(errno, says("cannot set up the handed-over socket ", path));
    }
    return std::unique_ptr<Listener>(
        new Listener(std::move(socket), std::move(lock.value()), path, /*ownsFile=*/false));
}

Listener::~Listener() {
    // Removed while the lock is still held, so no newer camera's socket can be removed.
    if (ownsFile_) ::unlink(path_.c_str());
    socket_.reset();
}

Result<UniqueFD> Listener::accept() const {
    int client;
    do {
        client = ::accept4(socket_.get(), nullptr, nullptr, SOCK_CLOEXEC);
    } while (client < 0 && errno == EINTR);
    if (client < 0) return systemFailure(errno, says("accept on ", path_));
    return UniqueFD(client);
}

Result<UniqueFD> connectTo(const std::string& path) {
    sockaddr_un address;
    if (auto failure = fillAddress(path, address)) return *failure;
    UniqueFD socket(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (!socket) return systemFailure(errno, "cannot create a socket");
    int result;
    do {
        result =
            ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (result < 0 && errno == EINTR);
    if (result < 0) {
        if (errno == ENOENT || errno == ECONNREFUSED) {
            return Failure{-errno, says("no kova-camera is serving ", path)};
        }
        return systemFailure(errno, says("cannot connect to ", path));
    }
    return socket;
}

}  // namespace kova::wire
