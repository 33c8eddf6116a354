// The buffer_registration target: a frame layout and memory of any size, seals and kind, through
// what the camera runs before it maps a client's buffer: the RegisterBuffer checks,
// MemFd::checkImported and MemoryMapping::create.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <variant>

#include "base/MemFd.h"
#include "base/UniqueFD.h"
#include "fuzz/targets/FuzzTargets.h"

namespace kova::fuzz {
namespace {

using base::UniqueFD;
using registration::Case;
using registration::MemoryKind;

int sealsOf(std::uint8_t choice) {
    int seals = 0;
    if ((choice & registration::kSealShrink) != 0) seals |= F_SEAL_SHRINK;
    if ((choice & registration::kSealGrow) != 0) seals |= F_SEAL_GROW;
    if ((choice & registration::kSealWrite) != 0) seals |= F_SEAL_WRITE;
    if ((choice & registration::kSealFutureWrite) != 0) seals |= F_SEAL_FUTURE_WRITE;
    if ((choice & registration::kSealSeal) != 0) seals |= F_SEAL_SEAL;
    return seals;
}

// The memory a client hands over, made as the case says.
struct Memory {
    UniqueFD fd;
    UniqueFD pipeWriteEnd;
    bool sealedAgainstResize = false;  // what the client meant to do, not what the fd shows
    std::uint64_t size = 0;            // likewise
    std::string problem;               // why it could not be made; empty when it was
};

Memory makeMemory(const Case& c) {
    Memory memory;
    if (c.kind == MemoryKind::Pipe) {
        int ends[2] = {-1, -1};
        if (::pipe2(ends, O_CLOEXEC) != 0) memory.problem = "pipe2 failed";
        memory.fd.reset(ends[0]);
        memory.pipeWriteEnd.reset(ends[1]);
        return memory;
    }

    const bool allowSealing = (c.seals & registration::kAllowSealing) != 0;
    const int seals = allowSealing ? sealsOf(c.seals) : 0;
    UniqueFD memfd(
        ::memfd_create("kova-fuzz-buffer", MFD_CLOEXEC | (allowSealing ? MFD_ALLOW_SEALING : 0u)));
    if (!memfd) {
        memory.problem = std::string("memfd_create: ") + std::strerror(errno);
        return memory;
    }
    auto seal = [&] { return seals == 0 || ::fcntl(memfd.get(), F_ADD_SEALS, seals) == 0; };
    auto resize = [&] { return ::ftruncate(memfd.get(), off_t(c.memorySize)) == 0; };
    memory.sealedAgainstResize = (seals & F_SEAL_SHRINK) != 0 && (seals & F_SEAL_GROW) != 0;
    memory.size = c.memorySize;
    if (c.kind == MemoryKind::SealedBeforeSized) {
        if (!seal()) memory.problem = std::string("sealing: ") + std::strerror(errno);
        // Under a grow seal it stays empty.
        if (!resize()) memory.size = 0;
    } else {
        if (!resize()) memory.problem = std::string("ftruncate: ") + std::strerror(errno);
        if (!seal()) memory.problem = std::string("sealing: ") + std::strerror(errno);
    }

    if (c.kind == MemoryKind::ReopenedReadOnly) {
        const std::string path = "/proc/self/fd/" + std::to_string(memfd.get());
        memfd.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        if (!memfd) memory.problem = std::string("reopening: ") + std::strerror(errno);
    }
    memory.fd = std::move(memfd);
    return memory;
}

// What an accepted layout promises: a known format, and rows and a size that hold the frame.
// Computed here in 64 bits from bounds checked first, apart from the checks under test.
Verdict layoutProblem(const wire::FrameLayout& layout) {
    const std::uint64_t pixelBytes = wire::bytesPerPixel(layout.pixelFormat);
    if (pixelBytes == 0) return "an unknown pixel format";
    if (layout.width == 0 || layout.height == 0 || layout.width > wire::kMaxFrameDimension ||
        layout.height > wire::kMaxFrameDimension) {
        return "a frame of " + std::to_string(layout.width) + "x" + std::to_string(layout.height);
    }
    if (layout.bytesPerRow < layout.width * pixelBytes) return "rows too short for the width";
    if (layout.size < std::uint64_t{layout.bytesPerRow} * layout.height) {
        return "a size too small for its rows";
    }
    if (layout.size > wire::kMaxBufferBytes) return "a size past the limit";
    return std::nullopt;
}

// The camera's steps for one registration, checked at each step. Everything it opens is closed
// by the time it returns.
Verdict registerBuffer(const Case& c) {
    Memory memory = makeMemory(c);
    if (!memory.problem.empty()) return "cannot make the memory: " + memory.problem;

    wire::RegisterBuffer request;
    request.cookie = 1;
    request.layout = c.layout;
    const auto decoded = wire::decode(std::as_bytes(std::span(&request, 1)), wire::Peer::Client, 1);
    if (const auto* error = std::get_if<wire::ProtocolError>(&decoded)) {
        return refusalProblem(*error);  // refused: the memory is never looked at
    }
    const wire::FrameLayout& layout =
        std::get<wire::RegisterBuffer>(std::get<wire::Message>(decoded)).layout;
    if (auto problem = layoutProblem(layout)) return "accepted a layout with " + *problem;

    const int imported = base::MemFd::checkImported(memory.fd.get(), layout.size);
    const bool sealed = memory.sealedAgainstResize;
    const bool largeEnough = memory.size >= layout.size;
    if (imported == 0 && !sealed) return "let through memory that is not sealed against resizing";
    if (imported == 0 && !largeEnough) {
        return "let through " + std::to_string(memory.size) + " bytes for a layout of " +
               std::to_string(layout.size);
    }
    if (imported != 0) {
        if (sealed && largeEnough) {
            return std::string("refused sealed memory large enough: ") + std::strerror(-imported);
        }
        if (imported > 0) return "refused with a positive code";
        // The codes its header promises for shared memory.
        if (c.kind != MemoryKind::Pipe && !sealed && imported != -EPERM) {
            return std::string("refused unsealed memory with ") + std::strerror(-imported);
        }
        if (c.kind != MemoryKind::Pipe && sealed && imported != -EINVAL) {
            return std::string("refused memory too small with ") + std::strerror(-imported);
        }
        return std::nullopt;
    }

    const auto mapping = base::MemoryMapping::create(memory.fd.get(), layout.size, false);
    if (!mapping || mapping->data() == nullptr || mapping->size() != layout.size) {
        return "cannot map a buffer that passed every check";
    }
    // Sealed and large enough, so every byte of the frame can be read: a fault here is the
    // crash a client must never be able to cause.
    const volatile std::uint8_t* bytes = mapping->data();
    const std::uint64_t frameEnd = std::uint64_t{layout.bytesPerRow} * layout.height;
    if (bytes[0] != 0 || bytes[frameEnd - 1] != 0 || bytes[layout.size - 1] != 0) {
        return "fresh shared memory does not read as zero";
    }
    return std::nullopt;
}

}  // namespace

Verdict runBufferRegistration(Input input) {
    const Case c = registration::parse(input);
    const auto fdsBefore = static_cast<long>(testing::openFdCount());
    if (auto problem = registerBuffer(c)) return problem;
    if (const auto fdsAfter = static_cast<long>(testing::openFdCount()); fdsAfter != fdsBefore) {
        return std::to_string(fdsAfter - fdsBefore) + " fd(s) leaked";
    }
    return std::nullopt;
}

}  // namespace kova::fuzz
