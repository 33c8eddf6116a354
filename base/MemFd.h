// MemFd: sealed shared memory, created here or imported from a peer, and its mappings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/Result.h"
#include "base/SharedFD.h"
#include "base/UniqueFD.h"

namespace kova::base {

// A mapping of shared memory, unmapped when it goes. Move-only.
// Threading: the mapping object belongs to one owner; the bytes it maps are shared.
class MemoryMapping {
  public:
    MemoryMapping() = default;
    // Maps `size` bytes of `fd` from offset 0, writable or read-only; fails with mmap's -errno
    // (-EINVAL for an empty mapping).
    static Result<MemoryMapping> create(int fd, std::size_t size, bool writable);
    ~MemoryMapping();
    MemoryMapping(MemoryMapping&& other) noexcept;
    MemoryMapping& operator=(MemoryMapping&& other) noexcept;
    MemoryMapping(const MemoryMapping&) = delete;
    MemoryMapping& operator=(const MemoryMapping&) = delete;

    std::uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }

  private:
    MemoryMapping(std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    void unmap();

    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

// A memfd with the one mapping through which it can be written.
struct WritableMemory {
    UniqueFD fd;
    MemoryMapping mapping;
};

// Memory that other processes can map: memfd sealed against shrinking, growing and further
// sealing before its fd ever leaves this process, so a peer can never make a mapping fault.
class MemFd {
  public:
    // A new memfd of `size` bytes, sealed against shrinking, growing and further sealing.
    // Fails with the failing call's -errno (-EINVAL for an empty or oversized request).
    static Result<UniqueFD> createSealed(const char* name, std::size_t size);

    // Memory only its creator writes: mapped writable here, then sealed against writes through
    // the fd and against new writable mappings too, so a peer handed the fd can only read it.
    static Result<WritableMemory> createWritable(const char* name, std::size_t size);

    // Memory both ends write (a shared area of words): sealed as createSealed() does, and mapped
    // writable here.
    static Result<WritableMemory> createShared(const char* name, std::size_t size);

    // Checks a peer's fd, without mapping it, for what every process handed it needs to map it
    // read-only: shared memory (tmpfs, not huge pages, which may be out when a peer maps them),
    // open for reading, sealed against shrinking and growing, and at least `minimumSize` bytes.
    // Returns 0, or a negative errno-style code: -EPERM (not sealed), -EACCES (not open for
    // reading), -ENOTSUP (not plain shared memory), -EINVAL (too small, or not a memfd), or the
    // failing call's -errno.
    static int checkImported(int fd, std::size_t minimumSize);
    // Why checkImported() refused memory, for a person.
    static std::string importProblem(int checkResult);

    // For callers that need no reason: createSealed's fd, or an invalid one.
    static UniqueFD create(const char* name, std::size_t size);
};

}  // namespace kova::base
