// The message_decoder target: a packet and its fds over a real SOCK_SEQPACKET pair, taken by
// Connection::receive() as the camera (or a client) takes every message.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "base/MemFd.h"
#include "base/UniqueFD.h"
#include "fuzz/targets/FuzzTargets.h"
#include "protocol/Wire.h"

namespace kova::fuzz {
namespace {

using base::UniqueFD;
using decoder::FdKind;
using wire::Connection;
using wire::Peer;
using wire::ReceiveResult;
using Status = ReceiveResult::Status;

constexpr std::size_t kFdKinds = 4;
static_assert(decoder::kFdCountMask <= wire::kMaxPacketFds,
              "every fd count an input asks for can be sent");

const char* kindName(FdKind kind) {
    switch (kind) {
        case FdKind::SealedMemFd:
            return "sealed memfd";
        case FdKind::UnsealedMemFd:
            return "unsealed memfd";
        case FdKind::Pipe:
            return "pipe";
        case FdKind::DevNull:
            return "/dev/null";
    }
    return "?";
}

// The socket pair and the fds that ride along: made once, kept for the life of the process, so
// that an input costs two system calls and not a dozen.
struct Rig {
    Connection camera;
    Connection client;
    std::array<UniqueFD, kFdKinds> attachments;
    UniqueFD pipeWriteEnd;
    std::string problem;  // why the rig is unusable; empty when it is fine
};

Rig makeRig() {
    int ends[2] = {-1, -1};
    const bool paired = ::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) == 0;
    Rig rig{Connection(UniqueFD(ends[0]), Peer::Host),
            Connection(UniqueFD(ends[1]), Peer::Client),
            {},
            {},
            {}};
    if (!paired) {
        rig.problem = std::string("socketpair: ") + std::strerror(errno);
        return rig;
    }

    rig.attachments[std::size_t(FdKind::SealedMemFd)] =
        base::MemFd::create("kova-fuzz-sealed", decoder::kMemFdSize);
    UniqueFD unsealed(::memfd_create("kova-fuzz-unsealed", MFD_CLOEXEC));
    if (unsealed && ::ftruncate(unsealed.get(), decoder::kMemFdSize) != 0) unsealed.reset();
    rig.attachments[std::size_t(FdKind::UnsealedMemFd)] = std::move(unsealed);
    int pipeEnds[2] = {-1, -1};
    if (::pipe2(pipeEnds, O_CLOEXEC) == 0) {
        rig.attachments[std::size_t(FdKind::Pipe)].reset(pipeEnds[0]);
        rig.pipeWriteEnd.reset(pipeEnds[1]);
    }
    rig.attachments[std::size_t(FdKind::DevNull)].reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    for (std::size_t kind = 0; kind < kFdKinds; ++kind) {
        if (!rig.attachments[kind]) {
            rig.problem = std::string("cannot open a ") + kindName(FdKind(kind)) + " to attach";
        }
    }
    return rig;
}

// Sends `packet` as one packet with `count` copies of `fd`, bypassing every check of
// Connection::send. Returns 0 or -errno.
int sendRaw(int socket, Input packet, int fd, std::size_t count) {
    const std::vector<int> fds(count, fd);
    return wire::sendPacket(socket, std::as_bytes(packet), fds, wire::SendMode::DontWait);
}

// Lowers this process's fd limit so that only `room` more fds fit, counting from the lowest
// free one; restores it when it goes. While it holds, the kernel installs only part of the fds
// a packet brings and flags the rest as cut short (MSG_CTRUNC).
class FdTableSqueeze {
  public:
    FdTableSqueeze(int anyOpenFd, std::size_t room) {
        if (::getrlimit(RLIMIT_NOFILE, &saved_) != 0) return;
        const int lowestFree = ::fcntl(anyOpenFd, F_DUPFD_CLOEXEC, 0);
        if (lowestFree < 0) return;
        ::close(lowestFree);
        rlimit tight = saved_;
        tight.rlim_cur = rlim_t(lowestFree) + room;
        active_ = tight.rlim_cur < saved_.rlim_cur && ::setrlimit(RLIMIT_NOFILE, &tight) == 0;
    }
    ~FdTableSqueeze() {
        if (active_) ::setrlimit(RLIMIT_NOFILE, &saved_);
    }
    FdTableSqueeze(const FdTableSqueeze&) = delete;
    FdTableSqueeze& operator=(const FdTableSqueeze&) = delete;

    bool active() const { return active_; }

  private:
    rlimit saved_{};
    bool active_ = false;
};

bool sameFile(int a, int b) {
    struct stat first {
    }, second{};
    return ::fstat(a, &first) == 0 && ::fstat(b, &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

struct Delivery {
    Input packet;
    Peer sender = Peer::Client;
    std::size_t fdCount = 0;
    FdKind kind = FdKind::SealedMemFd;
    bool exhaustFdTable = false;

    std::string describe() const {
        std::string text = std::to_string(packet.size()) + "-byte packet from " +
                           (sender == Peer::Client ? "a client" : "the camera") + " with " +
                           std::to_string(fdCount) + " fd(s) of kind " + kindName(kind);
        if (exhaustFdTable) text += " into an fd table with room for half of them";
        return text;
    }

    // Why the receiver must refuse the packet whatever it holds; null when it may accept it.
    const char* mustRefuse() const {
        if (packet.size() > wire::kMaxMessageSize) return "it is larger than a message may be";
        if (fdCount > wire::kMaxFdsPerMessage) return "it brings more fds than a message may";
        return nullptr;
    }
};

Verdict checkAccepted(const wire::Received& received, const Delivery& delivery, int attachment) {
    if (!holdsBytes(received.message, std::as_bytes(delivery.packet))) {
        return "the message returned differs from the packet it came in";
    }
    const bool hasFd = received.fd.isValid();
    // An fd the kernel could not install is reported, never silently missing: the message is
    // checked as it was sent, and its receiver says why it cannot be used.
    if (delivery.exhaustFdTable && delivery.fdCount > 0) {
        if (hasFd) return "an fd appeared although the fd table had no room for it";
        if (!received.fdLost) return "accepted although its fd was lost, without saying so";
        return std::nullopt;
    }
    if (received.fdLost) return "an fd was reported lost although the fd table had room";
    if (auto problem = wire::check(received.message, delivery.sender, hasFd ? 1 : 0)) {
        return "accepted a message that its own check refuses: " + problem->reason;
    }
    if (hasFd != (delivery.fdCount == 1)) {
        return hasFd ? "an fd appeared that was never sent" : "the fd sent with it was dropped";
    }
    if (hasFd) {
        const int flags = ::fcntl(received.fd.get(), F_GETFD);
        if (flags < 0 || (flags & FD_CLOEXEC) == 0) return "the fd received is not close-on-exec";
        if (!sameFile(received.fd.get(), attachment)) return "the fd received names another file";
    }
    return std::nullopt;
}

// Sends the packet, receives it and checks what came of it. Everything received is closed by
// the time it returns.
Verdict deliver(const Rig& rig, const Delivery& delivery) {
    const Connection& from = delivery.sender == Peer::Client ? rig.client : rig.camera;
    const Connection& to = delivery.sender == Peer::Client ? rig.camera : rig.client;
    const int attachment = rig.attachments[std::size_t(delivery.kind)].get();
    if (const int sent = sendRaw(from.fd(), delivery.packet, attachment, delivery.fdCount);
        sent < 0) {
        return std::string("cannot send the packet: ") + std::strerror(-sent);
    }

    ReceiveResult result;
    if (delivery.exhaustFdTable) {
        FdTableSqueeze squeeze(to.fd(), delivery.fdCount / 2);
        result = to.receive();
        if (!squeeze.active()) return std::string("cannot lower the fd limit");
    } else {
        result = to.receive();
    }

    switch (result.status) {
        case Status::Empty:
            return "nothing arrived";
        case Status::Failed:
            return std::string("receiving failed: ") + std::strerror(-result.systemError);
        case Status::Closed:
            if (!delivery.packet.empty() || delivery.fdCount != 0) return "read as a hang-up";
            break;
        case Status::Invalid:
            if (result.received) return "refused, yet a message came with the refusal";
            if (auto problem = refusalProblem(result.error)) return problem;
            break;
        case Status::Message:
            if (!result.received) return "accepted, yet no message came";
            if (const char* why = delivery.mustRefuse()) {
                return std::string("accepted although ") + why;
            }
            if (auto problem = checkAccepted(*result.received, delivery, attachment)) {
                return problem;
            }
            break;
    }

    // One packet in, one result out: nothing may be left waiting.
    if (const ReceiveResult after = to.receive(); after.status != Status::Empty) {
        return "the packet left something behind to receive";
    }
    return std::nullopt;
}

}  // namespace

Verdict runMessageDecoder(Input input) {
    if (input.empty()) return std::nullopt;
    static const Rig rig = makeRig();
    if (!rig.problem.empty()) return rig.problem;

    const std::uint8_t control = input[0];
    const Delivery delivery{
        input.subspan(1),
        (control & decoder::kFromCamera) != 0 ? Peer::Host : Peer::Client,
        std::size_t(control & decoder::kFdCountMask),
        FdKind((control >> decoder::kFdKindShift) & 3),
        (control & decoder::kExhaustFdTable) != 0,
    };

    const auto fdsBefore = static_cast<long>(testing::openFdCount());
    if (auto problem = deliver(rig, delivery)) return *problem + " (" + delivery.describe() + ")";
    if (const auto fdsAfter = static_cast<long>(testing::openFdCount()); fdsAfter != fdsBefore) {
        return std::to_string(fdsAfter - fdsBefore) + " fd(s) leaked (" + delivery.describe() + ")";
    }
    return std::nullopt;
}

}  // namespace kova::fuzz
