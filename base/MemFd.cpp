// MemFd: creating, checking and mapping sealed shared memory.
#include "base/MemFd.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <cerrno>
#include <utility>

namespace kova::base {

namespace {

UniqueFD createUnsealed(const char* name, std::size_t size, int* error) {
    if (size == 0 || size > std::size_t(PTRDIFF_MAX)) {
        *error = -EINVAL;
        return UniqueFD();
    }
    UniqueFD fd(::memfd_create(name, MFD_CLOEXEC | MFD_ALLOW_SEALING));
    *error = fd ? 0 : -errno;
    if (fd && ::ftruncate(fd.get(), off_t(size)) != 0) {
        *error = -errno;  // taken before closing the fd can touch errno
        fd.reset();
    }
    return fd;
}

}  // namespace

UniqueFD MemFd::create(const char* name, std::size_t size, int* error) {
    int status = 0;
    UniqueFD fd = createUnsealed(name, size, &status);
    // Sealed before the fd can leave the process: no peer can ever shrink it under a mapping.
    if (fd && ::fcntl(fd.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) {
        status = -errno;
        fd.reset();
    }
    if (error) *error = status;
    return fd;
}

std::optional<WritableMemory> MemFd::createWritable(const char* name, std::size_t size,
                                                    int* error) {
    int status = 0;
    std::optional<WritableMemory> memory;
    if (UniqueFD fd = createUnsealed(name, size, &status)) {
        if (auto mapping = MemoryMapping::map(fd.get(), size, /*writable=*/true)) {
            // The mapping made above is the last writable one: the future-write seal refuses
            // any other, and write(2) too, to this process and to every peer alike.
            if (::fcntl(fd.get(), F_ADD_SEALS,
                        F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_FUTURE_WRITE | F_SEAL_SEAL) == 0) {
                memory = WritableMemory{std::move(fd), std::move(*mapping)};
            } else {
                status = -errno;
            }
        } else {
            status = -errno;
        }
    }
    if (error) *error = status;
    return memory;
}

int MemFd::checkImported(int fd, std::size_t minimumSize) {
    const int seals = ::fcntl(fd, F_GET_SEALS);
    if (seals < 0) return -errno;
    if ((seals & F_SEAL_SHRINK) == 0 || (seals & F_SEAL_GROW) == 0) return -EPERM;
    struct stat status {};
    if (::fstat(fd, &status) != 0) return -errno;
    if (!S_ISREG(status.st_mode) || status.st_size < 0 ||
        std::size_t(status.st_size) < minimumSize) {
        return -EINVAL;
    }
    return 0;
}

std::optional<MemoryMapping> MemoryMapping::map(int fd, std::size_t size, bool writable) {
    if (size == 0) return std::nullopt;
    const int protection = writable ? PROT_READ | PROT_WRITE : PROT_READ;
    void* data = ::mmap(nullptr, size, protection, MAP_SHARED, fd, 0);
    if (data == MAP_FAILED) return std::nullopt;
    return MemoryMapping(static_cast<std::uint8_t*>(data), size);
}

MemoryMapping::~MemoryMapping() {
    unmap();
}

MemoryMapping::MemoryMapping(MemoryMapping&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

MemoryMapping& MemoryMapping::operator=(MemoryMapping&& other) noexcept {
    if (this != &other) {
        unmap();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

void MemoryMapping::unmap() {
    if (data_) ::munmap(data_, size_);
    data_ = nullptr;
    size_ = 0;
}

}  // namespace kova::base
