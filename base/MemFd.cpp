// MemFd: creating, checking and mapping sealed shared memory.
#include "base/MemFd.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statfs.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

namespace kova::base {

namespace {

// The failure of system call `call`, whose errno was `error`.
Failure callFailed(const char* call, int error) {
    return Failure{-error, std::string(call) + ": " + std::strerror(error)};
}

Result<UniqueFD> createUnsealed(const char* name, std::size_t size) {
    if (size == 0 || size > std::size_t(PTRDIFF_MAX)) {
        return Failure{-EINVAL,
                       "shared memory of " + std::to_string(size) + " bytes cannot be made"};
    }
    UniqueFD fd(::memfd_create(name, MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (!fd) return callFailed("memfd_create", errno);
    if (::ftruncate(fd.get(), off_t(size)) != 0) {
        const int error = errno;  // taken before closing the fd can touch errno
        return callFailed("ftruncate", error);
    }
    return fd;
}

// Adds `seals` to `fd`: 0 or -errno.
int addSeals(int fd, int seals) {
    return ::fcntl(fd, F_ADD_SEALS, seals) == 0 ? 0 : -errno;
}

}  // namespace

Result<UniqueFD> MemFd::createSealed(const char* name, std::size_t size) {
    Result<UniqueFD> fd = createUnsealed(name, size);
    if (!fd) return fd;
    // Sealed before the fd can leave the process: no peer can ever shrink it under a mapping.
    if (const int sealed = addSeals(fd->get(), F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL);
        sealed < 0) {
        return callFailed("fcntl(F_ADD_SEALS)", -sealed);
    }
    return fd;
}

Result<WritableMemory> MemFd::createWritable(const char* name, std::size_t size) {
    Result<UniqueFD> fd = createUnsealed(name, size);
    if (!fd) return fd.failure();
    Result<MemoryMapping> mapping = MemoryMapping::create(fd->get(), size, /*writable=*/true);
    if (!mapping) return mapping.failure();
    // The mapping made above is the last writable one: the future-write seal refuses any
    // other, and write(2) too, to this process and to every peer alike.
    if (const int sealed =
            addSeals(fd->get(), F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_FUTURE_WRITE | F_SEAL_SEAL);
        sealed < 0) {
        return callFailed("fcntl(F_ADD_SEALS)", -sealed);
    }
    return WritableMemory{std::move(*fd), std::move(*mapping)};
}

Result<WritableMemory> MemFd::createShared(const char* name, std::size_t size) {
    Result<UniqueFD> fd = createSealed(name, size);
    if (!fd) return fd.failure();
    Result<MemoryMapping> mapping = MemoryMapping::create(fd->get(), size, /*writable=*/true);
    if (!mapping) return mapping.failure();
    return WritableMemory{std::move(*fd), std::move(*mapping)};
}

UniqueFD MemFd::create(const char* name, std::size_t size) {
    Result<UniqueFD> fd = createSealed(name, size);
    return fd ? std::move(*fd) : UniqueFD();
}

int MemFd::checkImported(int fd, std::size_t minimumSize) {
    const int seals = ::fcntl(fd, F_GET_SEALS);
    if (seals < 0) return -errno;
    if ((seals & F_SEAL_SHRINK) == 0 || (seals & F_SEAL_GROW) == 0) return -EPERM;
    // A peer is handed this open file description itself, and maps through its access mode.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) return -errno;
    if ((flags & O_ACCMODE) != O_RDONLY && (flags & O_ACCMODE) != O_RDWR) return -EACCES;
    struct statfs fileSystem {};
    if (::fstatfs(fd, &fileSystem) != 0) return -errno;
    if (fileSystem.f_type != TMPFS_MAGIC) return -ENOTSUP;
    struct stat status {};
    if (::fstat(fd, &status) != 0) return -errno;
    if (!S_ISREG(status.st_mode) || status.st_size < 0 ||
        std::size_t(status.st_size) < minimumSize) {
        return -EINVAL;
    }
    return 0;
}

std::string MemFd::importProblem(int checkResult) {
    switch (checkResult) {
        case 0:
            return "";
        case -EPERM:
            return "its memory is not sealed against shrinking and growing";
        case -EACCES:
            return "its fd is not open for reading";
        case -ENOTSUP:
            return "its memory is not plain shared memory (huge pages or another file system)";
        case -EINVAL:
            return "its memory is not a memfd, or smaller than its layout";
        default:
            return std::string("its memory cannot be inspected: ") + std::strerror(-checkResult);
    }
}

Result<MemoryMapping> MemoryMapping::create(int fd, std::size_t size, bool writable) {
    if (size == 0) return Failure{-EINVAL, "an empty mapping cannot be made"};
    const int protection = writable ? PROT_READ | PROT_WRITE : PROT_READ;
    void* data = ::mmap(nullptr, size, protection, MAP_SHARED, fd, 0);
    if (data == MAP_FAILED) return callFailed("mmap", errno);
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
