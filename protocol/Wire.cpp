// The socket transport: message checks, sending and receiving with fds, the socket's path,
// listening, connecting and the peer's identity.
#include "protocol/Wire.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <type_traits>

namespace kova::wire {
namespace {

using base::UniqueFD;

// ---- text ----

template <class Part>
void append(std::string& text, const Part& part) {
    if constexpr (std::is_integral_v<Part>) {
        text += std::to_string(part);
    } else {
        text += part;
    }
}

template <class... Parts>
std::string says(const Parts&... parts) {
    std::string text;
    (append(text, parts), ...);
    return text;
}

std::string hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}

std::uint32_t raw(auto enumValue) {
    return static_cast<std::uint32_t>(enumValue);
}

// ---- message checks ----

using Problem = std::optional<ProtocolError>;

Problem violation(std::string reason) {
    return ProtocolError{ErrorCode::ProtocolViolation, std::move(reason)};
}

// NUL-terminated within the field and zero after the terminator.
template <std::size_t N>
bool isPaddedText(const char (&field)[N]) {
    const std::size_t length = strnlen(field, N);
    if (length == N) return false;
    for (std::size_t i = length; i < N; ++i) {
        if (field[i] != 0) return false;
    }
    return true;
}

template <std::size_t N>
Problem checkText(const char* message, const char* fieldName, const char (&field)[N]) {
    if (isPaddedText(field)) return std::nullopt;
    return violation(
        says(message, ": text field ", fieldName, " is not NUL-terminated and NUL-padded"));
}

Problem checkReserved(const char* message, std::uint32_t reserved) {
    if (reserved == 0) return std::nullopt;
    return violation(says(message, ": reserved field is ", reserved, ", not 0"));
}

Problem checkFlag(const char* message, const char* fieldName, std::uint32_t value) {
    if (value <= 1) return std::nullopt;
    return violation(says(message, ": ", fieldName, " is ", value, ", not 0 or 1"));
}

Problem checkLayout(const char* message, const FrameLayout& layout) {
    const std::uint32_t pixelBytes = bytesPerPixel(layout.pixelFormat);
    if (pixelBytes == 0) {
        return violation(
            says(message, ": pixel format ", hex(raw(layout.pixelFormat)), " is not supported"));
    }
    if (layout.width == 0 || layout.width > kMaxFrameDimension || layout.height == 0 ||
        layout.height > kMaxFrameDimension) {
        return violation(says(message, ": frame size ", layout.width, "x", layout.height,
                              " is outside 1 to ", kMaxFrameDimension));
    }
    // Widened to 64 bits: none of these products can overflow.
    const std::uint64_t rowBytes = std::uint64_t{layout.width} * pixelBytes;
    if (layout.bytesPerRow < rowBytes || layout.bytesPerRow % pixelBytes != 0) {
        return violation(says(message, ": ", layout.bytesPerRow, " bytes per row cannot hold ",
                              layout.width, " pixels"));
    }
    const std::uint64_t frameBytes = std::uint64_t{layout.bytesPerRow} * layout.height;
    if (layout.size < frameBytes) {
        return violation(says(message, ": size ", layout.size, " is less than the frame's ",
                              frameBytes, " bytes"));
    }
    if (layout.size > kMaxBufferBytes) {
        return violation(says(message, ": size ", layout.size, " exceeds the limit of ",
                              kMaxBufferBytes, " bytes"));
    }
    return std::nullopt;
}

bool isRole(Role role) {
    return raw(role) >= raw(Role::Sink) && raw(role) <= raw(Role::Info);
}

bool isMessageType(std::uint32_t type) {
    return std::string_view(messageTypeName(MessageType{type})) != "unknown";
}

Problem checkFields(const Hello& m) {
    if (m.magic != kHelloMagic) return violation("Hello: this is not a Kova client (bad magic)");
    if (m.version != kProtocolVersion) {
        return ProtocolError{
            ErrorCode::VersionMismatch,
            says("protocol version ", m.version, " is not supported (this camera speaks version ",
                 kProtocolVersion, ")")};
    }
    if (!isRole(m.role)) return violation(says("Hello: ", raw(m.role), " is not a role"));
    if (auto problem = checkReserved("Hello", m.reserved)) return problem;
    return checkText("Hello", "clientName", m.clientName);
}

Problem checkFields(const Welcome& m) {
    if (m.version != kProtocolVersion) {
        return ProtocolError{ErrorCode::VersionMismatch,
                             says("the camera speaks protocol version ", m.version,
                                  ", this client speaks version ", kProtocolVersion)};
    }
    if (!isRole(m.role)) return violation(says("Welcome: ", raw(m.role), " is not a role"));
    if (m.maxMessageSize == 0 || m.maxRegisteredBuffers == 0 || m.sinkQueueSize == 0 ||
        m.viewerFramesInFlight == 0 || m.viewerHoldLimitMs == 0) {
        return violation("Welcome: a limit is 0");
    }
    return checkReserved("Welcome", m.reserved);
}

Problem checkFields(const Error& m) {
    if (raw(m.code) == 0 || raw(m.code) > kLastErrorCode) {
        return violation(says("Error: ", raw(m.code), " is not an error code"));
    }
    if (m.requestType != 0 && !isMessageType(m.requestType)) {
        return violation(says("Error: request type ", m.requestType, " is not a message type"));
    }
    if (auto problem = checkFlag("Error", "disconnecting", m.disconnecting)) return problem;
    if (auto problem = checkReserved("Error", m.reserved)) return problem;
    return checkText("Error", "text", m.text);
}

Problem checkFields(const InfoReply& m) {
    if (auto problem = checkText("InfoReply", "providerManufacturer", m.providerManufacturer)) {
        return problem;
    }
    if (auto problem = checkText("InfoReply", "deviceName", m.deviceName)) return problem;
    if (auto problem = checkText("InfoReply", "deviceId", m.deviceId)) return problem;
    if (auto problem = checkText("InfoReply", "legacyDeviceId", m.legacyDeviceId)) return problem;
    if (auto problem = checkText("InfoReply", "deviceModel", m.deviceModel)) return problem;
    if (m.streamCount > kMaxStreams) {
        return violation(says("InfoReply: ", m.streamCount, " streams, at most ", kMaxStreams));
    }
    for (std::size_t i = 0; i < kMaxStreams; ++i) {
        const StreamInfo& stream = m.streams[i];
        if (i >= m.streamCount) {
            static constexpr StreamInfo kUnused{};
            if (std::memcmp(&stream, &kUnused, sizeof stream) != 0) {
                return violation(says("InfoReply: unused stream entry ", i, " is not zero"));
            }
            continue;
        }
        if (auto problem = checkText("InfoReply", "streams[].name", stream.name)) return problem;
        if (raw(stream.direction) > raw(StreamDirection::Sink)) {
            return violation(
                says("InfoReply: stream ", i, " has direction ", raw(stream.direction)));
        }
    }
    return std::nullopt;
}

Problem checkFields(const RegisterBuffer& m) {
    if (auto problem = checkReserved("RegisterBuffer", m.reserved)) return problem;
    return checkLayout("RegisterBuffer", m.layout);
}

Problem checkFields(const BufferRegistered& m) {
    if (m.bufferId == 0) return violation("BufferRegistered: buffer id 0");
    return std::nullopt;
}

Problem checkFields(const UnregisterBuffer& m) {
    return checkReserved("UnregisterBuffer", m.reserved);
}

Problem checkFields(const Push& m) {
    if ((m.timeFlags & ~kTimeFlagsKnown) != 0) {
        return violation(says("Push: time flags ", hex(m.timeFlags), " have unknown bits"));
    }
    const bool finite = (m.timeFlags & kTimeFlagValid) != 0 &&
                        (m.timeFlags & (kTimeFlagPositiveInfinity | kTimeFlagNegativeInfinity |
                                        kTimeFlagIndefinite)) == 0;
    if (finite && m.timeScale <= 0) {
        return violation(says("Push: a valid time needs a positive timescale, not ", m.timeScale));
    }
    return checkReserved("Push", m.reserved);
}

Problem checkFields(const PushRefused& m) {
    if (raw(m.reason) == 0 || raw(m.reason) > kLastPushRefusal) {
        return violation(says("PushRefused: ", raw(m.reason), " is not a reason"));
    }
    return checkReserved("PushRefused", m.reserved);
}

Problem checkFields(const BufferReturned& m) {
    if (m.outcome != PushOutcome::Relayed && m.outcome != PushOutcome::Dropped) {
        return violation(says("BufferReturned: ", raw(m.outcome), " is not an outcome"));
    }
    return std::nullopt;
}

Problem checkFields(const Frame& m) {
    if (m.origin != FrameOrigin::Sink && m.origin != FrameOrigin::Placeholder) {
        return violation(says("Frame: ", raw(m.origin), " is not an origin"));
    }
    if (auto problem = checkFlag("Frame", "fdAttached", m.fdAttached)) return problem;
    if (m.slot >= kViewerFramesInFlight) {
        return violation(says("Frame: slot ", m.slot, " is not below ", kViewerFramesInFlight));
    }
    return checkLayout("Frame", m.layout);
}

// Messages whose every bit pattern is valid: empty ones, cookies, tokens and keys.
template <class M>
Problem checkFields(const M&) {
    return std::nullopt;
}

template <class M>
Problem checkFds(const M& m, std::size_t fdCount) {
    const char* name = messageTypeName(M::kType);
    if (fdCount > kMaxFdsPerMessage) {
        return violation(
            says(name, ": ", fdCount, " fds attached, at most ", kMaxFdsPerMessage, " allowed"));
    }
    if constexpr (M::kFds == FdRule::None) {
        if (fdCount != 0) return violation(says(name, " takes no fd, but one is attached"));
    } else if constexpr (M::kFds == FdRule::Required) {
        if (fdCount == 0) return violation(says(name, " needs an fd, none is attached"));
    } else {
        if (m.fdAttached == 1 && fdCount == 0) {
            return violation(says(name, " says an fd is attached, none is"));
        }
        if (m.fdAttached == 0 && fdCount != 0) {
            return violation(says(name, " says no fd is attached, but one is"));
        }
    }
    return std::nullopt;
}

const char* senderName(Peer peer) {
    return peer == Peer::Client ? "clients" : "the camera";
}

template <class M>
Problem checkMessage(const M& m, Peer sender, std::size_t fdCount) {
    if (M::kSender != sender) {
        return violation(says(messageTypeName(M::kType), " is not sent by ", senderName(sender)));
    }
    if (auto problem = checkFields(m)) return problem;
    return checkFds(m, fdCount);
}

// The hello's first 16 bytes are the same in every version, so a peer of another version is
// told so even when the rest of its hello has another size.
Problem checkHelloPrefix(std::span<const std::byte> bytes) {
    constexpr std::size_t kPrefix = offsetof(Hello, version) + sizeof(Hello::version);
    if (bytes.size() < kPrefix) return std::nullopt;
    Hello hello;
    std::memcpy(&hello.magic, bytes.data() + offsetof(Hello, magic), sizeof hello.magic);
    std::memcpy(&hello.version, bytes.data() + offsetof(Hello, version), sizeof hello.version);
    if (hello.magic != kHelloMagic)
        return violation("Hello: this is not a Kova client (bad magic)");
    if (hello.version != kProtocolVersion) return checkFields(hello);
    return std::nullopt;
}

template <std::size_t I = 0>
std::variant<Message, ProtocolError> decodeAs(MessageType type, std::span<const std::byte> bytes,
                                              Peer sender, std::size_t fdCount) {
    if constexpr (I == std::variant_size_v<Message>) {
        return ProtocolError{ErrorCode::ProtocolViolation,
                             says("unknown message type ", raw(type))};
    } else {
        using M = std::variant_alternative_t<I, Message>;
        if (type != M::kType) return decodeAs<I + 1>(type, bytes, sender, fdCount);
        const char* name = messageTypeName(M::kType);
        if (M::kSender != sender) {
            return ProtocolError{ErrorCode::ProtocolViolation,
                                 says(name, " is not sent by ", senderName(sender))};
        }
        if constexpr (M::kType == MessageType::Hello) {
            if (auto problem = checkHelloPrefix(bytes)) return *problem;
        }
        if (bytes.size() != sizeof(M)) {
            return ProtocolError{ErrorCode::ProtocolViolation,
                                 says(name, " must be ", sizeof(M), " bytes, not ", bytes.size())};
        }
        M message;
        std::memcpy(&message, bytes.data(), sizeof message);
        if (auto problem = checkMessage(message, sender, fdCount)) return *problem;
        return Message(message);
    }
}

// ---- sockets ----

Peer otherEnd(Peer self) {
    return self == Peer::Client ? Peer::Host : Peer::Client;
}

Failure systemFailure(int error, std::string what) {
    return Failure{-error, says(what, ": ", std::strerror(error))};
}

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

// Whether something accepts connections on an existing socket file.
Occupant probe(const sockaddr_un& address, int* error) {
    UniqueFD socket(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!socket) {
        *error = errno;
        return Occupant::Unknown;
    }
    int result;
    do {
        result =
            ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (result < 0 && errno == EINTR);
    // EAGAIN: a listener whose backlog is full, alive all the same.
    if (result == 0 || errno == EAGAIN) return Occupant::Live;
    *error = errno;
    if (errno == ECONNREFUSED || errno == ENOENT) return Occupant::Nobody;
    return Occupant::Unknown;
}

}  // namespace

// ---- checks ----

std::variant<Message, ProtocolError> decode(std::span<const std::byte> bytes, Peer sender,
                                            std::size_t fdCount) {
    if (bytes.size() < sizeof(MessageHeader)) {
        return ProtocolError{ErrorCode::ProtocolViolation,
                             says("message of ", bytes.size(), " bytes is shorter than its ",
                                  sizeof(MessageHeader), "-byte header")};
    }
    MessageHeader header;
    std::memcpy(&header, bytes.data(), sizeof header);
    if (header.length != bytes.size()) {
        return ProtocolError{
            ErrorCode::ProtocolViolation,
            says("header says ", header.length, " bytes, but ", bytes.size(), " arrived")};
    }
    return decodeAs(header.type, bytes, sender, fdCount);
}

std::optional<ProtocolError> check(const Message& message, Peer sender, std::size_t fdCount) {
    return std::visit([&](const auto& m) { return checkMessage(m, sender, fdCount); }, message);
}

Error disconnectError(const ProtocolError& error) {
    Error message;
    message.code = error.code;
    message.disconnecting = 1;
    setText(message.text, error.reason);
    return message;
}

// ---- connection ----

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
    if ((header.msg_flags & MSG_CTRUNC) != 0) {
        return invalid(says("control data cut short: more than ", kFdRoom, " fds attached"));
    }
    if ((header.msg_flags & MSG_TRUNC) != 0) {
        return invalid(says("message larger than ", kMaxMessageSize, " bytes"));
    }
    // End of stream; an empty packet cannot be told apart from it.
    if (size == 0 && fdCount == 0) {
        result.status = ReceiveResult::Status::Closed;
        return result;
    }
    if (fdCount > kMaxFdsPerMessage) {
        return invalid(says(fdCount, " fds attached, at most ", kMaxFdsPerMessage, " allowed"));
    }

    auto decoded =
        decode(std::span(data.data(), static_cast<std::size_t>(size)), otherEnd(self_), fdCount);
    if (auto* error = std::get_if<ProtocolError>(&decoded)) {
        result.status = ReceiveResult::Status::Invalid;
        result.error = std::move(*error);
        return result;
    }
    result.status = ReceiveResult::Status::Message;
    result.received = Received{std::get<Message>(std::move(decoded)), std::move(fds[0])};
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

// ---- socket path ----

SocketLocation resolveSocketPath(const EnvironmentLookup& lookup, uid_t uid) {
    auto value = [&](const char* name) {
        const char* text = lookup(name);
        return std::string_view(text != nullptr ? text : "");
    };
    if (const auto override = value("KOVA_SOCKET"); !override.empty()) {
        return SocketLocation{std::string(override), false};
    }
    if (auto runtime = value("XDG_RUNTIME_DIR"); !runtime.empty() && runtime.front() == '/') {
        while (runtime.size() > 1 && runtime.back() == '/') runtime.remove_suffix(1);
        return SocketLocation{says(runtime, runtime.size() > 1 ? "/" : "", "kova/camera.sock"),
                              true};
    }
    return SocketLocation{says("/tmp/kova-", uid, "/camera.sock"), true};
}

SocketLocation resolveSocketPath() {
    return resolveSocketPath([](const char* name) { return std::getenv(name); }, ::getuid());
}

// ---- listening and connecting ----

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
        int error = 0;
        switch (probe(address, &error)) {
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
                return systemFailure(error, says("cannot tell whether ", path, " is in use"));
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

// ---- peer identity ----

int readPeerCredentials(int socket, PeerIdentity& identity) {
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &credentials, &length) < 0) return -errno;
    identity = PeerIdentity{credentials.pid, credentials.uid, credentials.gid};
    return 0;
}

Result<PeerIdentity> PeerCheck::check(int socket) const {
    PeerIdentity identity;
    if (const int error = reader_(socket, identity); error < 0) {
        return systemFailure(-error, "cannot read the peer's credentials");
    }
    if (identity.uid != allowedUid_) {
        return Failure{-EACCES, says("process ", identity.pid, " belongs to uid ", identity.uid,
                                     ", not to the camera's user (uid ", allowedUid_, ")")};
    }
    return identity;
}

}  // namespace kova::wire
