// The words of the shared areas (FrameStates, FrameReturns) as both ends read and write them:
// 64-bit atomics, release stores and acquire loads, and the return ring's two halves.
//
// Threading: every function may be called from any thread; each word has one writer.
#pragma once

#include <atomic>
#include <cstdint>

#include "protocol/Protocol.h"

namespace kova::wire {

inline std::uint64_t loadShared(const std::uint64_t& word) {
    return std::atomic_ref<std::uint64_t>(const_cast<std::uint64_t&>(word))
        .load(std::memory_order_acquire);
}

inline void storeShared(std::uint64_t& word, std::uint64_t value) {
    std::atomic_ref<std::uint64_t>(word).store(value, std::memory_order_release);
}

// The area at the start of a mapping of at least sizeof(Area) bytes (a page-aligned address).
template <class Area, class Mapping>
Area& sharedArea(const Mapping& mapping) {
    return *reinterpret_cast<Area*>(mapping.data());
}

// ---- the return ring ----

// The camera's half: puts one return in the ring; false when the ring has no room (a client
// that does not read its ring, or that wrote a `read` count it has not reached, gets its returns
// as messages).
inline bool putReturn(FrameReturns& ring, std::uint32_t bufferId, PushOutcome outcome) {
    const std::uint64_t written = ring.written;  // this end's own word
    const std::uint64_t read = loadShared(ring.read);
    if (read > written || written - read >= kReturnRingEntries) return false;
    storeShared(ring.entries[written % kReturnRingEntries],
                std::uint64_t{bufferId} | std::uint64_t(outcome) << 32);
    storeShared(ring.written, written + 1);
    return true;
}

// Whether the ring holds returns the client has not counted as read.
inline bool hasUnreadReturns(const FrameReturns& ring) {
    return loadShared(ring.written) != loadShared(ring.read);
}

// The client's half: hands every unread return to `take(bufferId, outcome)`, then counts them as
// read. False, taking nothing, when the camera's count is one no ring can hold.
template <class Take>
bool takeReturns(FrameReturns& ring, Take&& take) {
    const std::uint64_t read = ring.read;  // this end's own word
    const std::uint64_t written = loadShared(ring.written);
    if (written < read || written - read > kReturnRingEntries) return false;
    for (std::uint64_t next = read; next != written; ++next) {
        const std::uint64_t entry = loadShared(ring.entries[next % kReturnRingEntries]);
        take(std::uint32_t(entry), PushOutcome(std::uint32_t(entry >> 32)));
    }
    if (written != read) storeShared(ring.read, written);
    return true;
}

}  // namespace kova::wire
