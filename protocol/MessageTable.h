// The wire protocol's vocabulary: its version, limits, enumerations and the table of its
// messages (type code, sender, fd rule, the roles that may send it, size). Protocol.h declares the
// messages themselves.
//
// Threading: plain values and constants; safe everywhere.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace kova::wire {

// Messages are copied to and from the socket as they are, so the machine must be little-endian
// (both ends are on the same machine: the transport is a Unix-domain socket).
static_assert(std::endian::native == std::endian::little);

// ---- version ----

// Bumped on any change to a layout or a meaning; both ends must speak the same version.
inline constexpr std::uint32_t kProtocolVersion = 3;
// The first four bytes after a hello's header: "KOVA".
inline constexpr std::uint32_t kHelloMagic = 0x41564f4b;

// ---- limits ----

inline constexpr std::size_t kMaxMessageSize = 1024;
inline constexpr std::size_t kMaxFdsPerMessage = 1;
inline constexpr std::uint32_t kMaxClients = 32;
inline constexpr std::uint32_t kMaxRegisteredBuffersPerClient = 16;
// Frames a viewer may hold unreleased; past it, the viewer misses frames.
inline constexpr std::uint32_t kViewerFramesInFlight = 4;
// How long a viewer may hold a frame with its pixels guaranteed not to change. Past it the frame
// may be taken back. Long enough to encode a frame as a PNG on a busy machine (a camera-like
// picture takes 120 to 450 ms of wall time on 2 cores running 17 jobs).
inline constexpr std::uint32_t kViewerHoldLimitMs = 1000;
// Frames of one producer a viewer may keep within the hold limit while that producer has every
// buffer it may register in use; past it, the viewer's oldest frames of it are taken back.
inline constexpr std::uint32_t kViewerFairShare = kViewerFramesInFlight / 2;
// Entries of a producer's return ring (FrameReturns): room for every buffer it may register,
// twice over, so that a producer that reads its ring now and then never finds it overflowed.
inline constexpr std::uint32_t kReturnRingEntries = 2 * kMaxRegisteredBuffersPerClient;
// Pushed frames waiting per sink client; a push into a full queue is refused.
inline constexpr std::uint32_t kSinkQueueSize = 8;
inline constexpr std::uint32_t kMaxFrameDimension = 8192;
inline constexpr std::uint64_t kMaxBufferBytes = std::uint64_t{256} << 20;
inline constexpr std::size_t kNameSize = 64;
inline constexpr std::size_t kErrorTextSize = 128;
inline constexpr std::size_t kMaxStreams = 4;
// Viewers a StatusReply names one by one; it counts them all.
inline constexpr std::size_t kMaxStatusViewers = 8;

// ---- enumerations (all 32-bit on the wire) ----

// Which end sends a message type.
enum class Peer : std::uint32_t { Client = 1, Host = 2 };

// What a client came for, fixed by its hello. Any role may also ask for the camera's info.
enum class Role : std::uint32_t { Sink = 1, View = 2, Info = 3 };

enum class ErrorCode : std::uint32_t {
    ProtocolViolation = 1,  // malformed message, wrong fds, message not sent by clients
    VersionMismatch = 2,    // hello with a version this camera does not speak
    NotAllowed = 3,         // message not allowed for the client's role
    WrongState = 4,         // e.g. a second hello, push before sink start
    LimitReached = 5,       // too many clients or registered buffers
    BadBuffer = 6,          // memory not sealed, too small, or a layout the stream cannot take
    UnknownBuffer = 7,      // no registered buffer with that id
    NotAuthorized = 8,      // the stream refused to start for this client
    PermissionDenied = 9,   // peer belongs to another user
    HostFailure = 10,       // the camera could not do it (e.g. a stream failed to start)
};
inline constexpr std::uint32_t kLastErrorCode = 10;

enum class PixelFormat : std::uint32_t {
    BGRA = 0x42475241,  // 'BGRA': bytes blue, green, red, alpha
};

// Bytes of one pixel; 0 for a format the protocol does not know.
constexpr std::uint32_t bytesPerPixel(PixelFormat format) {
    return format == PixelFormat::BGRA ? 4 : 0;
}

// Why a push was refused; the buffer stays with the client.
enum class PushRefusal : std::uint32_t {
    QueueFull = 1,      // kSinkQueueSize frames already wait
    NotStarted = 2,     // no sink session (send SinkStart first)
    UnknownBuffer = 3,  // no registered buffer with that id
    BufferBusy = 4,     // pushed before and not returned yet
    BadTime = 5,        // time not finite, or more than 1 s ahead of the host clock
};
inline constexpr std::uint32_t kLastPushRefusal = 5;

// What became of a pushed frame whose buffer comes back.
enum class PushOutcome : std::uint32_t {
    Relayed = 1,  // sent on the output stream
    Dropped = 2,  // accepted but never relayed (the sink session ended first)
};

enum class FrameOrigin : std::uint32_t { Sink = 1, Placeholder = 2 };

enum class StreamDirection : std::uint32_t { Source = 0, Sink = 1 };

// What the output stream sent last.
enum class OutputShowing : std::uint32_t {
    Stopped = 0,      // no viewer, so the output stream does not run
    Relayed = 1,      // a producer's frame
    Placeholder = 2,  // the placeholder picture
};

// The CMTime flag bits a pushed presentation time may carry.
inline constexpr std::uint32_t kTimeFlagValid = 1u << 0;
inline constexpr std::uint32_t kTimeFlagHasBeenRounded = 1u << 1;
inline constexpr std::uint32_t kTimeFlagPositiveInfinity = 1u << 2;
inline constexpr std::uint32_t kTimeFlagNegativeInfinity = 1u << 3;
inline constexpr std::uint32_t kTimeFlagIndefinite = 1u << 4;
inline constexpr std::uint32_t kTimeFlagsKnown = (1u << 5) - 1;

// How a message type carries a file descriptor.
enum class FdRule {
    None,      // never: an attached fd is a protocol error
    Required,  // always exactly one
    Flagged,   // exactly one when the message's fdAttached field is 1, else none
};

// Which clients may send a message type: any role, the one role, or none (the host's messages,
// and the Hello, which comes before the role).
enum class RoleRule { Any, Sink, View, None };

// ---- the message table ----
// Every message, once: its struct (below), type code, sender, fd rule, the roles that may send
// it, and its size on the wire. The type codes, the variant of all messages, their names, the
// size checks and the role rules are made from it: a new message is a row here, its struct and
// its handling.
// clang-format off
#define KOVA_WIRE_MESSAGES(X)                                  \
    /* session */                                              \
    X(Hello,            1,  Client, None,     None, 88)        \
    X(Welcome,          2,  Host,   None,     None, 40)        \
    X(Error,            3,  Host,   None,     None, 160)       \
    X(Ping,             4,  Client, None,     Any,  16)        \
    X(Pong,             5,  Host,   None,     None, 16)        \
    X(InfoRequest,      6,  Client, None,     Any,  8)         \
    X(InfoReply,        7,  Host,   None,     None, 752)       \
    X(StatusRequest,    8,  Client, None,     Any,  8)         \
    X(StatusReply,      9,  Host,   None,     None, 888)       \
    /* sink clients */                                         \
    X(RegisterBuffer,   16, Client, Required, Sink, 40)        \
    X(BufferRegistered, 17, Host,   None,     None, 16)        \
    X(UnregisterBuffer, 18, Client, None,     Sink, 16)        \
    X(SinkStart,        19, Client, None,     Sink, 8)         \
    X(SinkStarted,      20, Host,   None,     None, 8)         \
    X(SinkStop,         21, Client, None,     Sink, 8)         \
    X(SinkStopped,      22, Host,   None,     None, 8)         \
    X(Push,             23, Client, None,     Sink, 32)        \
    X(PushRefused,      24, Host,   None,     None, 40)        \
    X(BufferReturned,   25, Host,   None,     None, 16)        \
    X(SinkTakeOver,     26, Client, None,     Sink, 8)         \
    X(ReturnsArea,      27, Client, Required, Sink, 8)         \
    X(ReturnsWanted,    28, Client, None,     Sink, 8)         \
    X(ReturnsPosted,    29, Host,   None,     None, 8)         \
    /* viewers */                                              \
    X(ViewStart,        32, Client, None,     View, 8)         \
    X(ViewStarted,      33, Host,   Required, None, 8)         \
    X(ViewStop,         34, Client, None,     View, 8)         \
    X(ViewStopped,      35, Host,   None,     None, 8)         \
    X(Frame,            36, Host,   Flagged,  None, 80)        \
    X(Release,          37, Client, None,     View, 16)        \
    X(BufferGone,       38, Host,   None,     None, 16)
// clang-format on

enum class MessageType : std::uint32_t {
#define KOVA_WIRE_TYPE_CODE(name, code, sender, fds, roles, size) name = code,
    KOVA_WIRE_MESSAGES(KOVA_WIRE_TYPE_CODE)
#undef KOVA_WIRE_TYPE_CODE
};

// A message type's row of the table.
struct MessageRow {
    MessageType type;
    const char* name;
    Peer sender;
    FdRule fds;
    RoleRule roles;
    std::size_t size;
};

inline constexpr MessageRow kMessageRows[] = {
#define KOVA_WIRE_ROW(name, code, sender, fds, roles, size) \
    {MessageType::name, #name, Peer::sender, FdRule::fds, RoleRule::roles, size},
    KOVA_WIRE_MESSAGES(KOVA_WIRE_ROW)
#undef KOVA_WIRE_ROW
};

// The row of `type`; null for a code that is not a message type.
constexpr const MessageRow* rowOf(MessageType type) {
    for (const MessageRow& row : kMessageRows) {
        if (row.type == type) return &row;
    }
    return nullptr;
}

// What every message struct begins with: its type, sender and fd rule from the table, and its
// header, filled in by default and stamped again when the message is sent.
#define KOVA_WIRE_MESSAGE(Name)                             \
    static constexpr MessageType kType = MessageType::Name; \
    static constexpr Peer kSender = rowOf(kType)->sender;   \
    static constexpr FdRule kFds = rowOf(kType)->fds;       \
    MessageHeader header = {kType, sizeof(Name)}

}  // namespace kova::wire
