// The wire protocol between kova-camera and its clients: message layouts, type codes, limits,
// version and error codes. The one source of truth; docs/protocol.md explains it in prose.
//
// Every message is a fixed-size little-endian struct that starts with a MessageHeader and goes
// over the socket as its bytes, one message per SOCK_SEQPACKET packet. No struct has implicit
// padding (checked below), reserved fields are sent as zero and must arrive as zero, and text
// fields are NUL-terminated and NUL-padded within their fixed size.
//
// Threading: plain values and constants; safe everywhere.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

namespace kova::wire {

// Messages are copied to and from the socket as they are, so the machine must be little-endian
// (both ends are on the same machine: the transport is a Unix-domain socket).
static_assert(std::endian::native == std::endian::little);

// ---- version ----

// Bumped on any change to a layout or a meaning; both ends must speak the same version.
inline constexpr std::uint32_t kProtocolVersion = 2;
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
// The viewer's frame states: one 64-bit word per slot, kViewerFramesInFlight slots.
inline constexpr std::size_t kFrameStatesSize = kViewerFramesInFlight * sizeof(std::uint64_t);
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
struct MessageSpec {
    MessageType type;
    const char* name;
    Peer sender;
    FdRule fds;
    RoleRule roles;
    std::size_t size;
};

inline constexpr MessageSpec kMessageSpecs[] = {
#define KOVA_WIRE_SPEC(name, code, sender, fds, roles, size) \
    {MessageType::name, #name, Peer::sender, FdRule::fds, RoleRule::roles, size},
    KOVA_WIRE_MESSAGES(KOVA_WIRE_SPEC)
#undef KOVA_WIRE_SPEC
};

// The row of `type`; null for a code that is not a message type.
constexpr const MessageSpec* specOf(MessageType type) {
    for (const MessageSpec& spec : kMessageSpecs) {
        if (spec.type == type) return &spec;
    }
    return nullptr;
}

// What every message struct begins with: its type, sender and fd rule from the table, and its
// header, filled in by default and stamped again when the message is sent.
#define KOVA_WIRE_MESSAGE(Name)                             \
    static constexpr MessageType kType = MessageType::Name; \
    static constexpr Peer kSender = specOf(kType)->sender;  \
    static constexpr FdRule kFds = specOf(kType)->fds;      \
    MessageHeader header = {kType, sizeof(Name)}

// ---- building blocks ----

struct MessageHeader {
    MessageType type;
    std::uint32_t length;  // the whole message in bytes, header included
};

// Where the pixels of a frame buffer are: offset 0 of the buffer's memory, rows of bytesPerRow
// bytes, `size` bytes in all (at least bytesPerRow × height).
struct FrameLayout {
    PixelFormat pixelFormat;
    std::uint32_t width;
    std::uint32_t height;
    std::uint32_t bytesPerRow;
    std::uint64_t size;
};

// One stream as the info reply describes it.
struct StreamInfo {
    char name[kNameSize];
    StreamDirection direction;
    std::uint32_t pixelFormat;  // four-character code
    std::uint32_t width;
    std::uint32_t height;
    std::int64_t frameDurationValue;
    std::int32_t frameDurationTimescale;
    std::uint32_t activeFormatIndex;
    std::uint32_t sinkBufferQueueSize;            // sink streams; 0 for the output
    std::uint32_t sinkBuffersRequiredForStartup;  // sink streams; 0 for the output
};

// ---- messages ----

// First message of every client; nothing else is accepted before it. Its first 16 bytes
// (header, magic, version) keep their layout in every version, so a mismatch is reported as one.
struct Hello {
    KOVA_WIRE_MESSAGE(Hello);
    std::uint32_t magic = kHelloMagic;
    std::uint32_t version = kProtocolVersion;
    Role role{};
    std::uint32_t reserved = 0;
    char clientName[kNameSize] = {};  // free text naming the client program
};

// The host's answer to a hello it accepts, with the limits that bind this client.
struct Welcome {
    KOVA_WIRE_MESSAGE(Welcome);
    std::uint32_t version = kProtocolVersion;
    Role role{};
    std::uint32_t maxMessageSize = kMaxMessageSize;
    std::uint32_t maxRegisteredBuffers = kMaxRegisteredBuffersPerClient;
    std::uint32_t sinkQueueSize = kSinkQueueSize;
    std::uint32_t viewerFramesInFlight = kViewerFramesInFlight;
    std::uint32_t viewerHoldLimitMs = kViewerHoldLimitMs;
    std::uint32_t reserved = 0;
};

// A request failed, or the client broke the protocol (then `disconnecting` is 1 and the host
// hangs up after sending it). `requestType` and `subject` name what failed: the cookie of a
// RegisterBuffer or Ping, the buffer id of an UnregisterBuffer or Push, the token of a Release;
// 0 when the error is not about one request.
struct Error {
    KOVA_WIRE_MESSAGE(Error);
    ErrorCode code{};
    std::uint32_t requestType = 0;  // a MessageType, or 0
    std::uint64_t subject = 0;
    std::uint32_t disconnecting = 0;
    std::uint32_t reserved = 0;
    char text[kErrorTextSize] = {};
};

// Answered with a Pong carrying the same cookie once everything sent before it is handled.
struct Ping {
    KOVA_WIRE_MESSAGE(Ping);
    std::uint64_t cookie = 0;
};

struct Pong {
    KOVA_WIRE_MESSAGE(Pong);
    std::uint64_t cookie = 0;
};

struct InfoRequest {
    KOVA_WIRE_MESSAGE(InfoRequest);
};

// The provider, the device and its streams, as the camera answers property queries.
// Entries of `streams` past `streamCount` are all zero.
struct InfoReply {
    KOVA_WIRE_MESSAGE(InfoReply);
    char providerManufacturer[kNameSize] = {};
    char deviceName[kNameSize] = {};
    char deviceId[kNameSize] = {};
    char legacyDeviceId[kNameSize] = {};
    char deviceModel[kNameSize] = {};
    std::uint32_t transportType = 0;  // four-character code
    std::uint32_t streamCount = 0;
    StreamInfo streams[kMaxStreams] = {};
};

struct StatusRequest {
    KOVA_WIRE_MESSAGE(StatusRequest);
};

// One viewer as a StatusReply describes it.
struct StatusViewer {
    char name[kNameSize];
    std::uint32_t pid;
    std::uint32_t reserved;
    std::uint64_t framesSent;    // output frames sent to it
    std::uint64_t framesMissed;  // output frames it missed
};

// Who uses the camera now, and its counters since it started. Entries of `viewers` past
// `viewerEntries` are all zero; `viewerCount` counts every viewer, also those not listed.
struct StatusReply {
    KOVA_WIRE_MESSAGE(StatusReply);
    std::uint32_t cameraPid = 0;
    OutputShowing output{};
    std::uint64_t uptimeNs = 0;
    std::uint32_t hasProducer = 0;  // 0 or 1; the producer fields are zero without one
    std::uint32_t producerPid = 0;
    char producerName[kNameSize] = {};
    std::uint32_t producerFramesLastSecond = 0;  // pushes accepted over the last second
    std::uint32_t viewerCount = 0;
    std::uint64_t producerPushed = 0;   // accepted pushes of its connection
    std::uint64_t producerDropped = 0;  // its refused pushes and accepted ones never relayed
    // Since the camera started:
    std::uint64_t framesRelayed = 0;      // output frames that were pushed frames
    std::uint64_t framesPlaceholder = 0;  // output frames that were the placeholder
    std::uint64_t framesPushed = 0;       // pushes accepted, every producer
    std::uint64_t framesDropped = 0;      // pushes dropped, every producer
    std::uint64_t framesMissed = 0;       // output frames missed, every viewer
    std::uint64_t sinkSessions = 0;       // sink sessions started
    std::uint64_t takeOvers = 0;          // sink sessions ended by another's SinkTakeOver
    std::uint32_t viewerEntries = 0;
    std::uint32_t reserved = 0;
    StatusViewer viewers[kMaxStatusViewers] = {};
};

// Hands the host a frame buffer once: the attached fd is a memfd sealed against shrinking and
// growing, holding layout.size bytes. Answered by BufferRegistered with the same cookie, or by an
// Error naming the cookie.
struct RegisterBuffer {
    KOVA_WIRE_MESSAGE(RegisterBuffer);
    std::uint32_t cookie = 0;  // chosen by the client, echoed back
    std::uint32_t reserved = 0;
    FrameLayout layout{};
};

struct BufferRegistered {
    KOVA_WIRE_MESSAGE(BufferRegistered);
    std::uint32_t cookie = 0;
    std::uint32_t bufferId = 0;  // never 0
};

// The id stops naming the buffer at once; frames already pushed from it still come back with
// BufferReturned. Not answered unless it fails.
struct UnregisterBuffer {
    KOVA_WIRE_MESSAGE(UnregisterBuffer);
    std::uint32_t bufferId = 0;
    std::uint32_t reserved = 0;
};

struct SinkStart {
    KOVA_WIRE_MESSAGE(SinkStart);
};

struct SinkStarted {
    KOVA_WIRE_MESSAGE(SinkStarted);
};

// A SinkStart that, when another client's sink session holds the sink, ends that session
// instead of being refused: its queued frames come back as dropped, then it is sent an Error
// (NotAuthorized, requestType SinkStart, subject the pid of this client) naming this client.
// Answered like a SinkStart.
struct SinkTakeOver {
    KOVA_WIRE_MESSAGE(SinkTakeOver);
};

struct SinkStop {
    KOVA_WIRE_MESSAGE(SinkStop);
};

// Sent after every frame still queued for this client has come back as BufferReturned.
struct SinkStopped {
    KOVA_WIRE_MESSAGE(SinkStopped);
};

// Pushes the frame in a registered buffer. The buffer belongs to the host until it comes back
// with BufferReturned, or at once if the push is refused with PushRefused.
struct Push {
    KOVA_WIRE_MESSAGE(Push);
    std::uint32_t bufferId = 0;
    std::uint32_t timeFlags = 0;  // kTimeFlag… bits of the presentation time
    std::int64_t timeValue = 0;
    std::int32_t timeScale = 0;  // > 0 for a valid, finite time
    std::uint32_t reserved = 0;
};

// The push was not accepted; it counts as dropped. Counters are this client's since its hello.
struct PushRefused {
    KOVA_WIRE_MESSAGE(PushRefused);
    std::uint32_t bufferId = 0;
    PushRefusal reason{};
    std::uint64_t framesPushed = 0;   // accepted pushes
    std::uint64_t framesDropped = 0;  // refused pushes and accepted ones never relayed
    std::uint32_t framesQueued = 0;   // waiting now
    std::uint32_t reserved = 0;
};

// The host, the extension and every viewer are done with the buffer: the client may write it.
struct BufferReturned {
    KOVA_WIRE_MESSAGE(BufferReturned);
    std::uint32_t bufferId = 0;
    PushOutcome outcome{};
};

struct ViewStart {
    KOVA_WIRE_MESSAGE(ViewStart);
};

// Frames follow it. The attached fd is the viewer's frame states: a sealed memfd of
// kFrameStatesSize bytes that the viewer can only map read-only. Word `slot` holds a frame's
// token from before it is sent until it is released or taken back; the camera sets it to 0
// before the frame's memory may change, so a viewer that reads the word after reading the
// pixels knows whether they held still.
struct ViewStarted {
    KOVA_WIRE_MESSAGE(ViewStarted);
};

struct ViewStop {
    KOVA_WIRE_MESSAGE(ViewStop);
};

// No frame follows it; the viewer's unreleased frames count as released.
struct ViewStopped {
    KOVA_WIRE_MESSAGE(ViewStopped);
};

// One frame sent on the output stream. The viewer reads it from the buffer named by
// `bufferKey`, mapped read-only; the buffer's fd is attached (fdAttached = 1) the first time this
// viewer sees the key, and the viewer keeps the mapping until BufferGone. The viewer answers
// with Release(token) when done reading.
struct Frame {
    KOVA_WIRE_MESSAGE(Frame);
    std::uint64_t token = 0;  // unique among this viewer's unreleased frames
    std::uint64_t sequence = 0;
    std::uint64_t hostTimeNs = 0;  // CLOCK_MONOTONIC time the frame was sent with
    std::uint64_t bufferKey = 0;
    FrameOrigin origin{};
    std::uint32_t framesMissed = 0;  // output frames this viewer missed just before this one
    std::uint32_t fdAttached = 0;
    std::uint32_t slot = 0;  // its word in the frame states, below kViewerFramesInFlight
    FrameLayout layout{};
};

struct Release {
    KOVA_WIRE_MESSAGE(Release);
    std::uint64_t token = 0;
};

// The buffer will not be sent again: the viewer unmaps it and forgets the key.
struct BufferGone {
    KOVA_WIRE_MESSAGE(BufferGone);
    std::uint64_t bufferKey = 0;
};

// Any one message.
template <class Ignored, class... Messages>
using VariantOfAllBut1st = std::variant<Messages...>;
#define KOVA_WIRE_STRUCT(name, code, sender, fds, roles, size) , name
using Message = VariantOfAllBut1st<void KOVA_WIRE_MESSAGES(KOVA_WIRE_STRUCT)>;
#undef KOVA_WIRE_STRUCT

// ---- sizes, checked ----

static_assert(sizeof(MessageHeader) == 8);
static_assert(sizeof(FrameLayout) == 24);
static_assert(sizeof(StreamInfo) == 104);
static_assert(sizeof(StatusViewer) == 88);
#define KOVA_WIRE_SIZE(name, code, sender, fds, roles, size) \
    static_assert(sizeof(name) == size, #name " has the size its row says");
KOVA_WIRE_MESSAGES(KOVA_WIRE_SIZE)
#undef KOVA_WIRE_SIZE

template <class M>
inline constexpr bool kIsWireStruct =
    std::is_trivially_copyable_v<M>&& std::has_unique_object_representations_v<M>&&
        std::is_standard_layout_v<M> &&
    sizeof(M) <= kMaxMessageSize;

// No padding anywhere (no stray bytes on the wire), every message fits the limit.
template <class... M>
constexpr bool allWireStructs(std::variant<M...>*) {
    return (kIsWireStruct<M> && ...);
}
static_assert(allWireStructs(static_cast<Message*>(nullptr)));
static_assert(kIsWireStruct<MessageHeader> && kIsWireStruct<FrameLayout> &&
              kIsWireStruct<StreamInfo> && kIsWireStruct<StatusViewer>);

// ---- text fields ----

// Copies `text` into a fixed field, cut to fit with its NUL, and zero-fills the rest.
template <std::size_t N>
void setText(char (&field)[N], std::string_view text) {
    const std::size_t length = text.size() < N ? text.size() : N - 1;
    std::memcpy(field, text.data(), length);
    std::memset(field + length, 0, N - length);
}

// The text of a checked field (NUL-terminated within it).
template <std::size_t N>
std::string_view textOf(const char (&field)[N]) {
    return std::string_view(field, strnlen(field, N));
}

// A peer's text as it may be shown in a log line or a reply: every byte outside printable
// ASCII, and the backslash and double quote, written as \xHH, so no text can end a line, move
// a terminal's cursor or close the quotes around it; cut after `limit` bytes of the text, with
// "..." to say so.
std::string printable(std::string_view text, std::size_t limit = kNameSize);
// As printable(), but keeping quotes and backslashes: for the camera's whole error text, shown to
// a person, whose quoted names the camera made printable already.
std::string readable(std::string_view text, std::size_t limit);

// ---- names, for error texts and logs ----

// "Push", "Frame", …; "unknown" for a code that is not a message type.
const char* messageTypeName(MessageType type);
const char* errorCodeName(ErrorCode code);

}  // namespace kova::wire
