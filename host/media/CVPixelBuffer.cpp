// Pixel buffers, their shared memory, and the pools that recycle them.
#include "host/media/CVPixelBuffer.h"

#include <atomic>
#include <optional>
#include <utility>
#include <variant>

#include "host/HostBackend.h"

using kova::host::HostBackend;
using kova::host::HostOperation;

namespace {

std::atomic<std::uint64_t> nextMemoryID{1};

// Large enough for any camera frame; keeps row and frame sizes far from overflow.
constexpr std::int64_t kMaximumDimension = 16384;
constexpr std::size_t kBytesPerPixel = 4;

std::optional<std::int64_t> integerAttribute(const CFDictionary& attributes,
                                             const std::string& key) {
    const auto entry = attributes.entries.find(key);
    if (entry == attributes.entries.end()) return std::nullopt;
    const auto* number = std::get_if<CFNumber>(&entry->second);
    if (number == nullptr) return std::nullopt;
    if (const auto* value = std::get_if<std::int64_t>(number)) return *value;
    if (const auto* value = std::get_if<std::uint32_t>(number)) return std::int64_t(*value);
    return std::nullopt;
}

}  // namespace

CVPixelBufferMemory::CVPixelBufferMemory(kova::base::SharedFD fd, std::size_t size, bool writable)
    : fd_(std::move(fd)), size_(size), writable_(writable), id_(nextMemoryID.fetch_add(1)) {}

CVPixelBufferMemory::CVPixelBufferMemory(kova::base::WritableMemory memory, std::size_t size)
    : fd_(std::move(memory.fd)), size_(size), writable_(true), id_(nextMemoryID.fetch_add(1)) {
    std::call_once(mapOnce_, [&] { mapping_ = std::move(memory.mapping); });
}

std::uint8_t* CVPixelBufferMemory::data() {
    std::call_once(mapOnce_, [this] {
        if (auto mapping = kova::base::MemoryMapping::create(fd_.get(), size_, writable_)) {
            mapping_ = std::move(*mapping);
        }
    });
    return mapping_.data();
}

CVPixelBuffer::CVPixelBuffer(Layout layout, std::shared_ptr<CVPixelBufferMemory> memory,
                             std::uint64_t ownerID, std::function<void()> onRelease)
    : layout_(layout),
      memory_(std::move(memory)),
      ownerID_(ownerID),
      onRelease_(std::move(onRelease)) {}

CVPixelBuffer::~CVPixelBuffer() {
    if (onRelease_) onRelease_();
}

CVReturn CVPixelBuffer::lock(CVPixelBufferLockFlags flags) {
    if (const CVReturn injected =
            HostBackend::current()->failureFor(HostOperation::LockBaseAddress)) {
        return injected;
    }
    // Memory lent read-only (a peer's frame) must never be handed out for writing.
    if ((flags & kCVPixelBufferLock_ReadOnly) == 0 && !memory_->writable()) {
        return kCVReturnInvalidArgument;
    }
    std::uint8_t* data = memory_->data();
    if (data == nullptr) return kCVReturnError;
    std::lock_guard guard(lockMutex_);
    ++lockCount_;
    base_ = data;
    return kCVReturnSuccess;
}

CVReturn CVPixelBuffer::unlock(CVPixelBufferLockFlags flags) {
    std::lock_guard guard(lockMutex_);
    if (lockCount_ == 0) return kCVReturnError;
    if (--lockCount_ == 0) base_ = nullptr;
    if ((flags & kCVPixelBufferLock_ReadOnly) == 0) memory_->markModified();
    return kCVReturnSuccess;
}

void* CVPixelBuffer::baseAddress() const {
    std::lock_guard guard(lockMutex_);
    return base_;
}

CVReturn CVPixelBufferLockBaseAddress(const CVPixelBufferRef& pixelBuffer,
                                      CVPixelBufferLockFlags lockFlags) {
    return pixelBuffer ? pixelBuffer->lock(lockFlags) : kCVReturnInvalidArgument;
}

CVReturn CVPixelBufferUnlockBaseAddress(const CVPixelBufferRef& pixelBuffer,
                                        CVPixelBufferLockFlags unlockFlags) {
    return pixelBuffer ? pixelBuffer->unlock(unlockFlags) : kCVReturnInvalidArgument;
}

void* CVPixelBufferGetBaseAddress(const CVPixelBufferRef& pixelBuffer) {
    return pixelBuffer ? pixelBuffer->baseAddress() : nullptr;
}

std::size_t CVPixelBufferGetBytesPerRow(const CVPixelBufferRef& pixelBuffer) {
    return pixelBuffer ? pixelBuffer->layout().bytesPerRow : 0;
}

std::size_t CVPixelBufferGetWidth(const CVPixelBufferRef& pixelBuffer) {
    return pixelBuffer ? pixelBuffer->layout().width : 0;
}

std::size_t CVPixelBufferGetHeight(const CVPixelBufferRef& pixelBuffer) {
    return pixelBuffer ? pixelBuffer->layout().height : 0;
}

FourCharCode CVPixelBufferGetPixelFormatType(const CVPixelBufferRef& pixelBuffer) {
    return pixelBuffer ? pixelBuffer->layout().pixelFormat : 0;
}

std::size_t CVPixelBufferGetDataSize(const CVPixelBufferRef& pixelBuffer) {
    return pixelBuffer ? pixelBuffer->layout().bytesPerRow * pixelBuffer->layout().height : 0;
}

IOSurfaceRef CVPixelBufferGetIOSurface(const CVPixelBufferRef& pixelBuffer) {
    return pixelBuffer ? pixelBuffer->sharedMemory() : nullptr;
}

IOSurfaceID IOSurfaceGetID(const IOSurfaceRef& surface) {
    return surface ? surface->id() : 0;
}

std::uint32_t IOSurfaceGetSeed(const IOSurfaceRef& surface) {
    return surface ? surface->seed() : 0;
}

CVPixelBufferPool::CVPixelBufferPool(CVPixelBuffer::Layout layout, std::size_t maximumBufferCount)
    : layout_(layout), maximumBufferCount_(maximumBufferCount) {}

CVReturn CVPixelBufferPool::createPixelBuffer(CVPixelBufferRef* pixelBufferOut) {
    if (pixelBufferOut == nullptr) return kCVReturnInvalidArgument;
    pixelBufferOut->reset();

    std::shared_ptr<CVPixelBufferMemory> memory;
    {
        std::lock_guard guard(mutex_);
        if (!free_.empty()) {
            memory = std::move(free_.back());
            free_.pop_back();
        } else if (allocated_ >= maximumBufferCount_) {
            return kCVReturnWouldExceedAllocationThreshold;
        } else {
            ++allocated_;  // the slot is ours; the memory is made outside the lock
        }
    }
    if (!memory) {
        const std::size_t size = layout_.bytesPerRow * layout_.height;
        // Peers get these buffers' fds; only this process may ever write into them.
        if (auto writable = kova::base::MemFd::createWritable("kova-pixel-buffer", size)) {
            memory = std::make_shared<CVPixelBufferMemory>(std::move(*writable), size);
        }
        if (!memory) {
            std::lock_guard guard(mutex_);
            --allocated_;
            return kCVReturnAllocationFailed;
        }
    }

    // The buffer holds its pool weakly: a pool that is gone lets the memory simply be freed.
    std::weak_ptr<CVPixelBufferPool> weakPool = weak_from_this();
    auto onRelease = [weakPool, memory] {
        if (auto pool = weakPool.lock()) pool->recycle(memory);
    };
    *pixelBufferOut = std::make_shared<CVPixelBuffer>(layout_, memory, 0, std::move(onRelease));
    return kCVReturnSuccess;
}

std::size_t CVPixelBufferPool::outstandingCount() const {
    std::lock_guard guard(mutex_);
    return allocated_ - free_.size();
}

std::size_t CVPixelBufferPool::allocatedCount() const {
    std::lock_guard guard(mutex_);
    return allocated_;
}

void CVPixelBufferPool::recycle(std::shared_ptr<CVPixelBufferMemory> memory) {
    std::lock_guard guard(mutex_);
    free_.push_back(std::move(memory));
}

CVReturn CVPixelBufferPoolCreate(CFAllocatorRef /*allocator*/,
                                 const CFDictionaryRef& /*poolAttributes*/,
                                 const CFDictionaryRef& pixelBufferAttributes,
                                 CVPixelBufferPoolRef* poolOut) {
    if (poolOut == nullptr) return kCVReturnInvalidArgument;
    poolOut->reset();
    const auto backend = HostBackend::current();
    backend->pixelBufferPoolRequested(pixelBufferAttributes);
    if (const CVReturn injected = backend->failureFor(HostOperation::CreatePixelBufferPool)) {
        return injected;
    }
    if (!pixelBufferAttributes) return kCVReturnInvalidPixelBufferAttributes;
    // Every buffer is shareable memory, so the surface-properties entry asks for nothing more.
    const auto pixelFormat =
        integerAttribute(*pixelBufferAttributes, kCVPixelBufferPixelFormatTypeKey);
    const auto width = integerAttribute(*pixelBufferAttributes, kCVPixelBufferWidthKey);
    const auto height = integerAttribute(*pixelBufferAttributes, kCVPixelBufferHeightKey);
    if (!pixelFormat || !width || !height || *width <= 0 || *height <= 0) {
        return kCVReturnInvalidPixelBufferAttributes;
    }
    if (*pixelFormat != std::int64_t(kCVPixelFormatType_32BGRA)) return kCVReturnInvalidPixelFormat;
    if (*width > kMaximumDimension || *height > kMaximumDimension) return kCVReturnInvalidSize;

    const std::size_t padding = backend->pixelBufferRowPadding();
    if (padding > std::size_t(kMaximumDimension) * kBytesPerPixel) return kCVReturnInvalidSize;
    CVPixelBuffer::Layout layout;
    layout.width = std::size_t(*width);
    layout.height = std::size_t(*height);
    layout.pixelFormat = FourCharCode(*pixelFormat);
    layout.bytesPerRow = layout.width * kBytesPerPixel + padding;
    *poolOut = std::make_shared<CVPixelBufferPool>(layout);
    return kCVReturnSuccess;
}

CVReturn CVPixelBufferPoolCreatePixelBuffer(CFAllocatorRef /*allocator*/,
                                            const CVPixelBufferPoolRef& pixelBufferPool,
                                            CVPixelBufferRef* pixelBufferOut) {
    if (pixelBufferOut == nullptr) return kCVReturnInvalidArgument;
    pixelBufferOut->reset();
    if (!pixelBufferPool) return kCVReturnInvalidArgument;
    if (const CVReturn injected =
            HostBackend::current()->failureFor(HostOperation::CreatePixelBuffer)) {
        return injected;
    }
    return pixelBufferPool->createPixelBuffer(pixelBufferOut);
}
