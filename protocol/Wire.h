// The socket transport: protocol messages and their fds over SOCK_SEQPACKET, each checked in
// full on arrival; where the camera's socket lives; listening, connecting, and checking that the
// peer is the camera's own user.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>

#include "base/UniqueFD.h"
#include "protocol/Protocol.h"

namespace kova::wire {

// A step that failed: -errno and a sentence a person can act on.
struct Failure {
    int error = 0;
    std::string message;
};

// A value, or the Failure that kept it from being made.
template <class T>
class Result {
  public:
    Result(T value) : state_(std::move(value)) {}
    Result(Failure failure) : state_(std::move(failure)) {}

    bool ok() const { return std::holds_alternative<T>(state_); }
    T& value() { return std::get<T>(state_); }
    const Failure& failure() const { return std::get<Failure>(state_); }

  private:
    std::variant<T, Failure> state_;
};

// Why a message from a peer was refused. The host sends it back as an Error (see
// disconnectError) and hangs up.
struct ProtocolError {
    ErrorCode code = ErrorCode::ProtocolViolation;
    std::string reason;
};

// Checks `bytes` as one whole message from `sender` that arrived with `fdCount` fds: size at
// least a header, header length equal to the size, type known and sent by `sender`, the exact
// size of that type, the hello's magic and version, enums and counts in range, reserved fields
// zero, text fields NUL-terminated and NUL-padded, and the fds the type takes.
std::variant<Message, ProtocolError> decode(std::span<const std::byte> bytes, Peer sender,
                                            std::size_t fdCount);

// The checks of decode() past the header, for a message about to be sent by `sender`.
std::optional<ProtocolError> check(const Message& message, Peer sender, std::size_t fdCount);

// The Error that tells a peer why it is being disconnected.
Error disconnectError(const ProtocolError& error);

// ---- connection ----

enum class SendMode {
    Block,     // waits while the socket's buffer is full
    DontWait,  // fails with -EAGAIN instead (MSG_DONTWAIT)
};

// The most fds sendPacket() attaches to one packet.
inline constexpr std::size_t kMaxPacketFds = 8;

// Sends `bytes` as one packet on `socket` with `fds` attached (borrowed), checking nothing of
// the protocol: Connection::send() sends through it, and tests and fuzzers use it to send what
// a well-behaved peer never would. Returns 0 or -errno (-EINVAL for more than kMaxPacketFds
// fds). Never raises SIGPIPE.
int sendPacket(int socket, std::span<const std::byte> bytes, std::span<const int> fds,
               SendMode mode = SendMode::Block);

struct Received {
    Message message;
    base::UniqueFD fd;  // the attached fd, for a message that carries one
};

struct ReceiveResult {
    enum class Status {
        Message,  // `received` holds it
        Empty,    // nothing waiting
        Closed,   // the peer hung up
        Invalid,  // the peer broke the protocol, `error` says how; any fds it sent are closed
        Failed,   // the socket failed, `systemError` is -errno
    };
    Status status = Status::Empty;
    std::optional<Received> received;
    ProtocolError error;
    int systemError = 0;
};

// One end of a SOCK_SEQPACKET connection that speaks the protocol as `self`: it sends only
// `self`'s message types and accepts only the other end's.
//
// Threading: the socket never changes after construction, so send() may be called from several
// threads at once and receive() from another (each is one system call, and a packet is sent or
// received whole); shutdown() from any thread. The Connection must outlive all those calls.
class Connection {
  public:
    Connection(base::UniqueFD socket, Peer self) : socket_(std::move(socket)), self_(self) {}

    int fd() const { return socket_.get(); }
    Peer self() const { return self_; }

    // Sends `message` whole with `fd` attached (borrowed; -1 for none), stamping its header.
    // Returns 0 or -errno: -EINVAL if the message would break the protocol (nothing is sent),
    // -EAGAIN under DontWait when the socket is full, -EPIPE when the peer has gone. Never
    // raises SIGPIPE.
    int send(const Message& message, int fd = -1, SendMode mode = SendMode::Block) const;

    // Takes the next message without waiting. Everything is checked before it is returned;
    // on MSG_CTRUNC, more fds than kMaxFdsPerMessage, or fds the type does not take, every
    // received fd is closed and the result is Invalid.
    ReceiveResult receive() const;

    // Waits until a message (or the hang-up) can be received: 1, 0 on timeout, or -errno.
    // A negative timeout waits for ever.
    int waitReadable(int timeoutMilliseconds) const;

    // Ends both directions; the peer sees the hang-up, a waiting receiver wakes.
    void shutdown() const;

  private:
    base::UniqueFD socket_;
    Peer self_;
};

// ---- where the socket lives ----

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

// ---- listening and connecting ----

// The camera's listening socket (non-blocking, close-on-exec). It holds a lock on
// "<path>.lock" for its whole life, so a second camera finds the path taken instead of replacing
// a live socket; it removes the socket file when it goes.
//
// Threading: one owner; accept() from one thread at a time.
class Listener {
  public:
    // Creates the folder if needed, takes the lock, replaces a stale socket file and listens.
    // Fails with "another kova-camera is already serving <path>" when one is.
    static Result<std::unique_ptr<Listener>> listen(const SocketLocation& location);
    // Takes a listening socket a service manager bound and handed over (socket activation): a
    // SOCK_SEQPACKET Unix socket bound to a path. It takes the same lock as listen(), so a second
    // camera is refused all the same; the socket file stays the service manager's and is left in
    // place when the Listener goes.
    static Result<std::unique_ptr<Listener>> adopt(base::UniqueFD socket);

    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    int fd() const { return socket_.get(); }
    const std::string& path() const { return path_; }

    // The next client's socket (blocking mode, close-on-exec), or -EAGAIN when none waits.
    Result<base::UniqueFD> accept() const;

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
Result<base::UniqueFD> connectTo(const std::string& path);

// ---- who is on the other end ----

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

    // The peer's identity, or a Failure (-EACCES for a peer of another user).
    Result<PeerIdentity> check(int socket) const;

  private:
    uid_t allowedUid_;
    PeerIdentityReader reader_;
};

}  // namespace kova::wire
