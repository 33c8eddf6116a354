// Connection: one end of a SOCK_SEQPACKET socket that speaks the protocol, sending and receiving
// whole messages with their fds; and sendPacket(), the one place that attaches fds to a packet.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

#include "base/UniqueFD.h"
#include "protocol/Codec.h"
#include "protocol/Protocol.h"

namespace kova::wire {

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
    // The message came with an fd this process could not take (its fd table is full): `fd`
    // is empty, and the message is to be refused as the receiver's failure, not the sender's.
    bool fdLost = false;
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

    // Sends `message` whole with `fd` attached (borrowed; -1 for none), stamping its header.
    // Returns 0 or -errno: -EINVAL if the message would break the protocol (nothing is sent),
    // -EAGAIN under DontWait when the socket is full, -EPIPE when the peer has gone. Never
    // raises SIGPIPE.
    int send(const Message& message, int fd = -1, SendMode mode = SendMode::Block) const;

    // Takes the next message without waiting. Everything is checked before it is returned;
    // on more fds than kMaxFdsPerMessage, or fds the type does not take, every received fd is
    // closed and the result is Invalid. An fd the kernel could not install here is reported
    // with the message (Received::fdLost).
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

}  // namespace kova::wire
