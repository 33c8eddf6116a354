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

enum class MessageType : std::uint32_t {
    // session
    Hello = 1,          // client -> host
    Welcome = 2,        // host -> client
    Error = 3,          // host -> client
    Ping = 4,           // client -> host
    Pong = 5,           // host -> client
    InfoRequest = 6,    // client -> host
    InfoReply = 7,      // host -> client
    StatusRequest = 8,  // client -> host
    StatusReply = 9,    // host -> client
    // sink clients
    RegisterBuffer = 16,    // client -> host, with the buffer's fd
    BufferRegistered = 17,  // host -> client
    UnregisterBuffer = 18,  // client -> host
    SinkStart = 19,         // client -> host
    SinkStarted = 20,       // host -> client
    SinkStop = 21,          // client -> host
    SinkStopped = 22,       // host -> client
    Push = 23,              // client -> host
    PushRefused = 24,       // host -> client
    BufferReturned = 25,    // host -> client
    SinkTakeOver = 26,      // client -> host: SinkStart that ends the holder's session
    // viewers
    ViewStart = 32,    // client -> host
    ViewStarted = 33,  // host -> client
    ViewStop = 34,     // client -> host
    ViewStopped = 35,  // host -> client
    Frame = 36,        // host -> client, with the buffer's fd the first time
    Release = 37,      // client -> host
    BufferGone = 38,   // host -> client
};

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
// Each struct names its type code, its sender and its fd rule. The header is filled in by
// default and stamped again when the message is sent.

// First message of every client; nothing else is accepted before it. Its first 16 bytes
// (header, magic, version) keep their layout in every version, so a mismatch is reported as one.
struct Hello {
    static constexpr MessageType kType = MessageType::Hello;
    static constexpr Peer kSender = Peer::Client;
    static constexpr FdRule kFds = FdRule::None;
    MessageHeader header{kType, sizeof(Hello)};
    std::uint32_t magic = kHelloMagic;
    std::uint32_t version = kProtocolVersion;
    Role role{};
    std::uint32_t reserved = 0;
    char clientName[kNameSize] = {};  // free text naming the client program
};

// The host's answer to a hello it accepts, with the limits that bind this client.
struct Welcome {
    static constexpr MessageType kType = MessageType::Welcome;
    static constexpr Peer kSender = Peer::Host;
    static constexpr FdRule kFds = FdRule::None;
    MessageHeader header{kType, sizeof(Welcome)};
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
    static constexpr MessageType kType = MessageType::Error;
    static constexpr Peer kSender = Peer::Host;
    static constexpr FdRule kFds = FdRule::None;
    MessageHeader header{kType, sizeof(Error)};
    ErrorCode code{};
    std::uint32_t requestType = 0;  // a MessageType, or 0
    std::uint64_t subject = 0;
    std::uint32_t disconnecting = 0;
    std::uint32_t reserved = 0;
    char text[kErrorTextSize] = {};
};

// Answered with a Pong carrying the same cookie once everything sent before it is handled.
struct Ping {
    static constexpr MessageType kType = MessageType::Ping;
    static constexpr Peer kSender = Peer::Client;
    static constexpr FdRule kFds = FdRule::None;
    MessageHeader header{kType, sizeof(Ping)};
    std::uint64_t cookie = 0;
};

struct Pong {
    static constexpr MessageType kType = MessageType::Pong;
    static constexpr Peer kSender = Peer::Host;
    static constexpr FdRule kFds = FdRule::None;
    MessageHeader header{kType, sizeof(Pong)};
    std::uint64_t cookie = 0;
};

struct InfoRequest {
    static constexpr MessageType kType = MessageType::InfoRequest;
    static constexpr Peer kSender = Peer::Client;
    static constexpr FdRule kFds = FdRule::None;
    MessageHeader header{kType, sizeof(InfoRequest)};
};

// The provider, the device and its streams, as the camera answers property queries.
// Entries of `streams` past `streamCount` are all zero.
struct InfoReply {
    static constexpr MessageType kType = MessageType::InfoReply;
    static constexpr Peer kSender = Peer::Host;
    static constexpr FdRule kFds = FdRule::None;
    MessageHeader header{kType, sizeof(InfoReply)};
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
    static constexpr MessageType kType = MessageType::StatusRequest;
    static constexpr Peer kSender = Peer::Client;
    static constexpr FdRule kFds = FdRule::None;
    MessageHeader header{kType, sizeof(StatusRequest)};
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
    static constexpr MessageType kType = MessageType::StatusReply;
    static constexpr Peer kSender = Peer::Host;
    static constexpr FdRule kFds = FdRule::None;
    MessageHeader header{kType, sizeof(StatusReply)};
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
    static constexpr MessageType kType = MessageType::RegisterBuffer;
    static constexpr Peer kSender = Peer::Client;
    static constexpr FdRule kFds = FdRule::Required;
    MessageHeader header{kType, sizeof(RegisterBuffer)};
    std::uint32_t cookie = 0;  // chosen by the client, echoed back
    std::uint32_t reserved = 0;
    FrameLayout layout{};
};

struct BufferRegistered {
    static constexpr MessageType kType = MessageType::BufferRegistered;
    static constexpr Peer kSender = Peer::Host;
    static constexpr FdRule kFds = FdRule::None;
    MessageHeader header{kType, sizeof(BufferRegistered)};
    std::uint32_t cookie = 0;
    std::uint32_t bufferId = 0;  // never 0
};

// The id stops naming the buffer at once; frames already pushed from it still come back with
// BufferReturned. Not answered unless it fails.
struct UnregisterBuffer {
    static constexpr MessageType kType = MessageType::UnregisterBuffer;
    static constexpr Peer kSender = Peer::Client;
    static constexpr FdRule kFds = FdRule::None;
    MessageHeader header{kType, sizeof(UnregisterBuffer)};
    std::uint32_t bufferId = 0;
    std::uint32_t reserved = 0;
};

struct SinkStart {
    static constexpr MessageType kType = MessageType::SinkStart;
    static constexpr Peer kSender = Peer::Client;
    static constexpr FdRule kFds = FdRule::None;
    MessageHeader header{kType, sizeof(SinkStart)};
};

struct SinkStarted {
    static constexpr MessageType kType = MessageType::SinkStarted;
    static constexpr Peer kSender = Peer::Host;
    static constexpr FdRule kFds = FdRule::None;
    MessageHeader header{kType, sizeof(SinkStarted)};
};

// A SinkStart that, when another client's sink session holds the sink, ends that session
// instead of being refused: its queued frames come back as dropped, then it is sent an Error
// (NotAuthorized, requestType SinkStart, subject the pid of this client) naming this client.
// Answered like a SinkStart.
struct SinkTakeOver {
    static constexpr MessageType kType = MessageType::SinkTakeOver;
    static constexpr Peer kSender = Peer::Client;
    static constexpr FdRule kFds = FdRule::None;
    MessageHeader header{kType, sizeof(SinkTakeOver)};
};

struct SinkStop {
    static constexpr MessageType kType = MessageType::SinkStop;
    static constexpr Peer kSender = Peer::Client;
    static constexpr FdRule kFds = FdRule::None;
    MessageHeader header{kType, sizeof(SinkStop)};
};

// Sent after every frame still queued for this client has come back as BufferReturned.
struct SinkStopped {
    static constexpr MessageType kType = MessageType::SinkStopped;
    static constexpr Peer kSender = Peer::Host;
    static constexpr FdRule kFds = FdRule::None;
    MessageHeader header{kType, sizeof(SinkStopped)};
};

// Pushes the frame in a registered buffer. The buffer belongs to the host until it comes back
// with BufferReturned, or at once if the push is refused with PushRefused.
struct Push {
    static constexpr MessageType kType = MessageType::Push;
    static constexpr Peer kSender = Peer::Client;
    static constexpr FdRule kFds = FdRule::None;
    MessageHeader header{kType, sizeof(Push)};
    std::uint32_t bufferId = 0;
    std::uint32_t timeFlags = 0;  // kTimeFlag… bits of the presentation time
    std::int64_t timeValue = 0;
    std::int32_t timeScale = 0;  // > 0 for a valid, finite time
    std::uint32_t reserved = 0;
};

// The push was not accepted; it counts as dropped. Counters are this client's since its hello.
struct PushRefused {
    static constexpr MessageType kType = MessageType::PushRefused;
    static constexpr Peer kSender = Peer::Host;
    static constexpr FdRule kFds = FdRule::None;
    MessageHeader header{kType, sizeof(PushRefused)};
    std::uint32_t bufferId = 0;
    PushRefusal reason{};
    std::uint64_t framesPushed = 0;   // accepted pushes
    std::uint64_t framesDropped = 0;  // refused pushes and accepted ones never relayed
    std::uint32_t framesQueued = 0;   // waiting now
    std::uint32_t reserved = 0;
};

// The host, the extension and every viewer are done with the buffer: the client may write it.
struct BufferReturned {
    static constexpr MessageType kType = MessageType::BufferReturned;
    static constexpr Peer kSender = Peer::Host;
    static constexpr FdRule kFds = FdRule::None;
    MessageHeader header{kType, sizeof(BufferReturned)};
    std::uint32_t bufferId = 0;
    PushOutcome outcome{};
};

struct ViewStart {
    static constexpr MessageType kType = MessageType::ViewStart;
    static constexpr Peer kSender = Peer::Client;
    static constexpr FdRule kFds = FdRule::None;
    MessageHeader header{kType, sizeof(ViewStart)};
};

// Frames follow it. The attached fd is the viewer's frame states: a sealed memfd of
// kFrameStatesSize bytes that the viewer can only map read-only. Word `slot` holds a frame's
// token from before it is sent until it is released or taken back; the camera sets it to 0
// before the frame's memory may change, so a viewer that reads the word after reading the
// pixels knows whether they held still.
struct ViewStarted {
    static constexpr MessageType kType = MessageType::ViewStarted;
    static constexpr Peer kSender = Peer::Host;
    static constexpr FdRule kFds = FdRule::Required;
    MessageHeader header{kType, sizeof(ViewStarted)};
};

struct ViewStop {
    static constexpr MessageType kType = MessageType::ViewStop;
    static constexpr Peer kSender = Peer::Client;
    static constexpr FdRule kFds = FdRule::None;
    MessageHeader header{kType, sizeof(ViewStop)};
};

// No frame follows it; the viewer's unreleased frames count as released.
struct ViewStopped {
    static constexpr MessageType kType = MessageType::ViewStopped;
    static constexpr Peer kSender = Peer::Host;
    static constexpr FdRule kFds = FdRule::None;
    MessageHeader header{kType, sizeof(ViewStopped)};
};

// One frame sent on the output stream. The viewer reads it from the buffer named by
// `bufferKey`, mapped read-only; the buffer's fd is attached (fdAttached = 1) the first time this
// viewer sees the key, and the viewer keeps the mapping until BufferGone. The viewer answers
// with Release(token) when done reading.
struct Frame {
    static constexpr MessageType kType = MessageType::Frame;
    static constexpr Peer kSender = Peer::Host;
    static constexpr FdRule kFds = FdRule::Flagged;
    MessageHeader header{kType, sizeof(Frame)};
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
    static constexpr MessageType kType = MessageType::Release;
    static constexpr Peer kSender = Peer::Client;
    static constexpr FdRule kFds = FdRule::None;
    MessageHeader header{kType, sizeof(Release)};
    std::uint64_t token = 0;
};

// The buffer will not be sent again: the viewer unmaps it and forgets the key.
struct BufferGone {
    static constexpr MessageType kType = MessageType::BufferGone;
    static constexpr Peer kSender = Peer::Host;
    static constexpr FdRule kFds = FdRule::None;
    MessageHeader header{kType, sizeof(BufferGone)};
    std::uint64_t bufferKey = 0;
};

// Any one message.
using Message =
    std::variant<Hello, Welcome, Error, Ping, Pong, InfoRequest, InfoReply, RegisterBuffer,
                 BufferRegistered, UnregisterBuffer, SinkStart, SinkStarted, SinkStop, SinkStopped,
                 Push, PushRefused, BufferReturned, ViewStart, ViewStarted, ViewStop, ViewStopped,
                 Frame, Release, BufferGone, StatusRequest, StatusReply, SinkTakeOver>;

// ---- sizes, checked ----

static_assert(sizeof(MessageHeader) == 8);
static_assert(sizeof(FrameLayout) == 24);
static_assert(sizeof(StreamInfo) == 104);
static_assert(sizeof(Hello) == 88);
static_assert(sizeof(Welcome) == 40);
static_assert(sizeof(Error) == 160);
static_assert(sizeof(Ping) == 16 && sizeof(Pong) == 16);
static_assert(sizeof(InfoRequest) == 8);
static_assert(sizeof(InfoReply) == 752);
static_assert(sizeof(RegisterBuffer) == 40);
static_assert(sizeof(BufferRegistered) == 16);
static_assert(sizeof(UnregisterBuffer) == 16);
static_assert(sizeof(SinkStart) == 8 && sizeof(SinkStarted) == 8);
static_assert(sizeof(SinkStop) == 8 && sizeof(SinkStopped) == 8);
static_assert(sizeof(Push) == 32);
static_assert(sizeof(PushRefused) == 40);
static_assert(sizeof(BufferReturned) == 16);
static_assert(sizeof(ViewStart) == 8 && sizeof(ViewStarted) == 8);
static_assert(sizeof(ViewStop) == 8 && sizeof(ViewStopped) == 8);
static_assert(sizeof(Frame) == 80);
static_assert(sizeof(Release) == 16);
static_assert(sizeof(BufferGone) == 16);
static_assert(sizeof(StatusRequest) == 8 && sizeof(SinkTakeOver) == 8);
static_assert(sizeof(StatusViewer) == 88);
static_assert(sizeof(StatusReply) == 888);

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
