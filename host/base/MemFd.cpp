// MemFd: creating, checking and mapping sealed shared memory.
#include "host/base/MemFd.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <cerrno>
#include <utility>

namespace kova::host {

UniqueFD MemFd::create(const char* name, std::size_t size, int* error) {
    auto fail = [error](int code) {
        if (error) *error = -code;
        return UniqueFD();
    };
    if (size == 0 || size > std::size_t(PTRDIFF_MAX)) return fail(EINVAL);
    UniqueFD fd(::memfd_create(name, MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (!fd) return fail(errno);
    if (::ftruncate(fd.get(), off_t(size)) != 0) return fail(errno);
    // Sealed before the fd can leave the process: no peer can ever shrink it under a mapping.
    if (::fcntl(fd.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) {
        return fail(errno);
    }
    if (error) *error = 0;
    return fd;
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

}  // namespace kova::host
