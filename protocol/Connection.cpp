// Sending and receiving whole messages with their fds.
#include "protocol/Connection.h"

#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "protocol/Sentences.h"

namespace kova::wire {
namespace {

using base::UniqueFD;
using namespace sentences;

Peer otherEnd(Peer self) {
    return self == Peer::Client ? Peer::Host : Peer::Client;
}

}  // namespace

int sendPacket(int socket, std::span<const std::byte> bytes, std::span<const int> fds,
               SendMode mode) {
    if (fds.size() > kMaxPacketFds) return -EINVAL;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxPacketFds)] = {};
    iovec io{const_cast<std::byte*>(bytes.data()), bytes.size()};
    msghdr header{};
    header.msg_iov = &io;
    header.msg_iovlen = 1;
    if (!fds.empty()) {
        header.msg_control = control;
        header.msg_controllen = CMSG_SPACE(sizeof(int) * fds.size());
        cmsghdr* rights = CMSG_FIRSTHDR(&header);
        rights->cmsg_level = SOL_SOCKET;
        rights->cmsg_type = SCM_RIGHTS;
        rights->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
        std::memcpy(CMSG_DATA(rights), fds.data(), sizeof(int) * fds.size());
    }
    const int flags = MSG_NOSIGNAL | (mode == SendMode::DontWait ? MSG_DONTWAIT : 0);
    ssize_t sent;
    do {
        sent = ::sendmsg(socket, &header, flags);
    } while (sent < 0 && errno == EINTR);
    // A SOCK_SEQPACKET packet goes whole or not at all.
    return sent < 0 ? -errno : 0;
}

int Connection::send(const Message& message, int fd, SendMode mode) const {
    if (check(message, self_, fd >= 0 ? 1 : 0)) return -EINVAL;
    return std::visit(
        [&](const auto& m) {
            auto stamped = m;
            stamped.header = MessageHeader{m.kType, sizeof stamped};
            const std::span<const int> fds(&fd, fd >= 0 ? 1 : 0);
            return sendPacket(socket_.get(), std::as_bytes(std::span(&stamped, 1)), fds, mode);
        },
        message);
}

ReceiveResult Connection::receive() const {
    // Room for a few fds past the limit, so they arrive to be reported and closed; beyond that
    // the kernel cuts the control data short (MSG_CTRUNC) and discards the rest itself.
    constexpr std::size_t kFdRoom = 4;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kFdRoom)] = {};
    alignas(8) std::array<std::byte, kMaxMessageSize> data;

    iovec io{data.data(), data.size()};
    msghdr header{};
    header.msg_iov = &io;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof control;

    ReceiveResult result;
    ssize_t size;
    do {
        size = ::recvmsg(socket_.get(), &header, MSG_CMSG_CLOEXEC | MSG_DONTWAIT);
    } while (size < 0 && errno == EINTR);
    if (size < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) return result;
        result.status = ReceiveResult::Status::Failed;
        result.systemError = -errno;
        return result;
    }

    // Owned at once, so that every way out below closes them.
    std::array<UniqueFD, kFdRoom> fds;
    std::size_t fdCount = 0;
    for (cmsghdr* item = CMSG_FIRSTHDR(&header); item != nullptr;
         item = CMSG_NXTHDR(&header, item)) {
        if (item->cmsg_level != SOL_SOCKET || item->cmsg_type != SCM_RIGHTS) continue;
        const std::size_t count = (item->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (std::size_t i = 0; i < count && fdCount < kFdRoom; ++i) {
            int fd;
            std::memcpy(&fd, CMSG_DATA(item) + i * sizeof(int), sizeof fd);
            fds[fdCount++].reset(fd);
        }
    }

    auto invalid = [&](std::string reason) {
        result.status = ReceiveResult::Status::Invalid;
        result.error = ProtocolError{ErrorCode::ProtocolViolation, std::move(reason)};
        return std::move(result);
    };
    // The kernel cuts the control data short also when it cannot install an fd, for this
    // process's fd table is full: only a cut with all the room taken is the peer's doing.
    const bool cutShort = (header.msg_flags & MSG_CTRUNC) != 0;
    const bool fdsLost = cutShort && fdCount < kFdRoom;
    if (cutShort && !fdsLost) {
        return invalid(says("control data cut short: more than ", kFdRoom, " fds attached"));
    }
    if ((header.msg_flags & MSG_TRUNC) != 0) {
        return invalid(says("message larger than ", kMaxMessageSize, " bytes"));
    }
    // End of stream; an empty packet cannot be told apart from it, unless it brought fds, even
    // ones this process had no room to take.
    if (size == 0 && fdCount == 0 && !cutShort) {
        result.status = ReceiveResult::Status::Closed;
        return result;
    }
    if (fdCount > kMaxFdsPerMessage) {
        return invalid(says(fdCount, " fds attached, at most ", kMaxFdsPerMessage, " allowed"));
    }

    if (fdsLost && fdCount != 0) {
        return invalid("more fds attached than a message may carry");
    }
    // A message whose fd was lost is checked as it was sent, with its fd.
    auto decoded = decode(std::span(data.data(), static_cast<std::size_t>(size)), otherEnd(self_),
                          fdsLost ? 1 : fdCount);
    if (auto* error = std::get_if<ProtocolError>(&decoded)) {
        result.status = ReceiveResult::Status::Invalid;
        result.error = std::move(*error);
        return result;
    }
    result.status = ReceiveResult::Status::Message;
    result.received = Received{std::get<Message>(std::move(decoded)), std::move(fds[0]), fdsLost};
    return result;
}

int Connection::waitReadable(int timeoutMilliseconds) const {
    pollfd watched{socket_.get(), POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&watched, 1, timeoutMilliseconds);
    } while (ready < 0 && errno == EINTR);
    return ready < 0 ? -errno : ready;
}

void Connection::shutdown() const {
    ::shutdown(socket_.get(), SHUT_RDWR);
}

}  // namespace kova::wire
