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

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include "protocol/MessageTable.h"

namespace kova::wire {

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

// Sent after every frame still queued for this client has come back.
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

// From now on this client's buffers come back in the attached ring (FrameReturns, below): a
// memfd of sizeof(FrameReturns) bytes, sealed against shrinking and growing, that the camera maps
// writable. A return that finds the ring full comes as BufferReturned instead. Once per
// connection; no answer unless it is refused.
struct ReturnsArea {
    KOVA_WIRE_MESSAGE(ReturnsArea);
};

// The client waits for a buffer: the camera looks at once for frames its viewers have released,
// and sends ReturnsPosted as soon as the ring holds an entry the client has not read (at once if
// it already does).
struct ReturnsWanted {
    KOVA_WIRE_MESSAGE(ReturnsWanted);
};

// The ring holds returns the client has not read; the answer to one ReturnsWanted.
struct ReturnsPosted {
    KOVA_WIRE_MESSAGE(ReturnsPosted);
};

struct ViewStart {
    KOVA_WIRE_MESSAGE(ViewStart);
};

// Frames follow it. The attached fd is the viewer's frame states (FrameStates, below): a memfd
// of sizeof(FrameStates) bytes, sealed against shrinking and growing, that both ends map writable.
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
// viewer sees the key, and the viewer keeps the mapping until BufferGone. The viewer releases
// it when done reading: in its frame states, or with Release(token).
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

// ---- shared areas ----
// Words that one end writes and the other reads, each through a 64-bit atomic: a write is a
// release store, a read an acquire load. What a peer writes there is checked like a message.

// A viewer's frame states, by slot. `held[slot]` holds a frame's token from before the frame is
// sent until the camera is done holding it for the viewer; the camera sets it to 0 before the
// frame's memory may change, so a viewer that reads the word after reading the pixels knows
// whether they held still. The viewer releases the frame by writing its token to
// `released[slot]` (no message needed), which the camera reads whenever it next sends a frame or
// a producer waits for a buffer; a Release message does the same at once.
struct FrameStates {
    std::uint64_t held[kViewerFramesInFlight];
    std::uint64_t released[kViewerFramesInFlight];
};
inline constexpr std::size_t kFrameStatesSize = sizeof(FrameStates);

// A producer's ring of returned buffers. The camera writes entry `written % kReturnRingEntries`
// (bufferId in the low 32 bits, the PushOutcome in the high ones), then counts it in `written`;
// the producer reads the entries up to `written`, then counts them in `read`. The camera reads
// `read` only to see whether there is room.
struct FrameReturns {
    std::uint64_t written;
    std::uint64_t read;
    std::uint64_t entries[kReturnRingEntries];
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
