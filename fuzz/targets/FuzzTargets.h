// The fuzz targets: one entry function per decoder of client input, the formats of their inputs,
// and the table that names them for the fuzzers and the replay test.
//
// Threading: an entry function keeps process-wide state (a socket pair, fds to attach) and may
// lower the fd limit while it runs; call the entry functions from one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/Protocol.h"
#include "protocol/Wire.h"
#include "tests/harness/FdCount.h"

namespace kova::fuzz {

// What an entry function made of one input: nothing when every property held, else the first
// one that broke, in a sentence. The fuzzers abort on it, the replay test fails on it.
using Verdict = std::optional<std::string>;

using Input = std::span<const std::uint8_t>;

// ---- message_decoder ----
// One byte of control, then the packet. The packet goes with its fds over a real SOCK_SEQPACKET
// pair and is taken by Connection::receive() at the other end.
namespace decoder {

// How many fds go with the packet (0 to 7).
inline constexpr std::uint8_t kFdCountMask = 0x07;
// Which kind of fd goes with it (two bits, FdKind).
inline constexpr unsigned kFdKindShift = 3;
// The receiver's fd table is full but for half the fds, so the kernel installs only some and
// sets MSG_CTRUNC.
inline constexpr std::uint8_t kExhaustFdTable = 0x20;
// The camera sends the packet and a client receives it (else a client sends to the camera).
inline constexpr std::uint8_t kFromCamera = 0x40;

enum class FdKind : std::uint8_t { SealedMemFd = 0, UnsealedMemFd = 1, Pipe = 2, DevNull = 3 };

// The size of the memfds that ride along.
inline constexpr std::size_t kMemFdSize = 4096;

constexpr std::uint8_t control(std::size_t fdCount, FdKind kind, bool fromCamera,
                               bool exhaustFdTable = false) {
    return static_cast<std::uint8_t>(
        (fdCount & kFdCountMask) | (static_cast<unsigned>(kind) << kFdKindShift) |
        (exhaustFdTable ? kExhaustFdTable : 0) | (fromCamera ? kFromCamera : 0));
}

std::vector<std::uint8_t> input(std::uint8_t control, std::span<const std::byte> packet);

}  // namespace decoder

// ---- hello_exchange ----
// The input is the first message of a connection, read as the camera reads a client's hello and
// as a client reads the camera's answer.

// ---- buffer_registration ----
// A frame layout and a memfd to register with it, in kInputSize bytes (missing bytes read as 0).
namespace registration {

// Which seals the memfd gets (bits of Case::seals).
inline constexpr std::uint8_t kSealShrink = 1u << 0;
inline constexpr std::uint8_t kSealGrow = 1u << 1;
inline constexpr std::uint8_t kSealWrite = 1u << 2;
inline constexpr std::uint8_t kSealFutureWrite = 1u << 3;
inline constexpr std::uint8_t kSealSeal = 1u << 4;
// The memfd is created with MFD_ALLOW_SEALING; without it no seal can be added.
inline constexpr std::uint8_t kAllowSealing = 1u << 5;

enum class MemoryKind : std::uint8_t {
    MemFd = 0,              // sized, then sealed
    ReopenedReadOnly = 1,   // the same memfd opened again read-only through /proc/self/fd
    SealedBeforeSized = 2,  // sealed first: a grow seal keeps it empty
    Pipe = 3,               // not shared memory at all
};

// Memory sizes past this are cut to it: the largest buffer a layout may name, and a little more.
inline constexpr std::uint64_t kMemorySizeCeiling = wire::kMaxBufferBytes + (1u << 20);

struct Case {
    wire::FrameLayout layout{};
    std::uint64_t memorySize = 0;
    std::uint8_t seals = 0;
    MemoryKind kind = MemoryKind::MemFd;
};

// layout @0 (24 bytes), memorySize @24 (u64), seals @32, kind @33 (taken modulo 4).
inline constexpr std::size_t kInputSize = 34;

Case parse(Input input);
std::vector<std::uint8_t> input(const Case& c);

}  // namespace registration

// ---- entry functions ----

Verdict runMessageDecoder(Input input);
Verdict runHelloExchange(Input input);
Verdict runBufferRegistration(Input input);

struct Target {
    const char* name;  // also the folder of its corpus and of its regressions
    Verdict (*run)(Input input);
};

// Every target, in a fixed order.
std::span<const Target> targets();
// The target called `name`, or null.
const Target* findTarget(std::string_view name);

// ---- seeds ----

struct Seed {
    std::string name;  // its file name in the corpus
    std::vector<std::uint8_t> bytes;
};

// The seed corpus of a target, made from valid messages and the edges around them.
std::vector<Seed> seedsFor(std::string_view target);

// ---- shared by the targets ----

// What is wrong with a decoder's refusal: no reason, a code no decoder gives, or a reason that
// the Error telling the peer cannot carry. Nothing when it is sound.
Verdict refusalProblem(const wire::ProtocolError& error);

// The bytes of a message exactly as they go over the wire.
std::span<const std::byte> wireBytes(const wire::Message& message);

// Whether a decoded message holds exactly the bytes it was decoded from.
bool holdsBytes(const wire::Message& message, std::span<const std::byte> bytes);

}  // namespace kova::fuzz
