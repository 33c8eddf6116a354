// Shared pieces of the wire tests.
#include "tests/wire/WireTestSupport.h"

#include <sys/socket.h>

#include "base/MemFd.h"

namespace kova::wire::test {

std::pair<base::UniqueFD, base::UniqueFD> socketPair() {
    int ends[2] = {-1, -1};
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends), 0);
    return {base::UniqueFD(ends[0]), base::UniqueFD(ends[1])};
}

void sendRaw(int socket, std::span<const std::byte> bytes, const std::vector<int>& fds) {
    ASSERT_EQ(sendPacket(socket, bytes, fds), 0);
}

base::UniqueFD makeSealedMemFd(std::size_t size) {
    base::Result<base::UniqueFD> fd = base::MemFd::createSealed("kova-wire-test", size);
    EXPECT_TRUE(fd) << fd.failure().message;
    return fd ? std::move(*fd) : base::UniqueFD();
}

FrameLayout sampleLayout() {
    return FrameLayout{PixelFormat::BGRA, 16, 8, 80, 4096};
}

}  // namespace kova::wire::test
