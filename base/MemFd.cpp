// MemFd: creating, checking and mapping sealed shared memory.
#include "base/MemFd.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statfs.h>

#include <cerrno>
#include <cstring>
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
