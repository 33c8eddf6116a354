// Shared pieces of the wire tests: the fd-leak check, socket pairs, raw packets and sealed
// memory.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "base/UniqueFD.h"
#include "protocol/Protocol.h"
#include "protocol/Wire.h"
#include "tests/harness/FdCount.h"

namespace kova::wire::test {

// A connected SOCK_SEQPACKET pair, both ends close-on-exec.
std::pair<base::UniqueFD, base::UniqueFD> socketPair();

// Base of every wire test: whatever a test opens must be closed by the time it ends.
class FdLeakCheck : public ::testing::Test {
  private:
    kova::testing::FdLeakGuard fdLeakGuard_;
};

// Both ends of a fresh SOCK_SEQPACKET pair: `camera` speaks as the host, `client` as a client.
struct ConnectedPair {
    ConnectedPair() : ConnectedPair(socketPair()) {}
    Connection camera;
    Connection client;

  private:
    explicit ConnectedPair(std::pair<base::UniqueFD, base::UniqueFD> ends)
        : camera(std::move(ends.first), Peer::Host), client(std::move(ends.second), Peer::Client) {}
};

// Sends `bytes` as one packet with `fds` attached, bypassing every check of Connection::send.
void sendRaw(int socket, std::span<const std::byte> bytes, const std::vector<int>& fds = {});

template <class M>
std::span<const std::byte> bytesOf(const M& message) {
    return std::as_bytes(std::span(&message, 1));
}

// A small sealed memfd, as a client would register.
base::UniqueFD makeSealedMemFd(std::size_t size = 4096);

// The layout of a small BGRA frame, as valid messages carry it.
FrameLayout sampleLayout();

}  // namespace kova::wire::test
