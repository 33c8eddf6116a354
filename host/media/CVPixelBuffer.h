// Pixel buffers in sealed shared memory, and pools that recycle them.
//
// Threading: a pixel buffer may be held, locked and released from any thread; its pixels are
// written only by whoever took it from a pool, before it is handed on. A pool may be used from
// any thread; a buffer returns to its pool when its last holder releases it, on that thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "base/MemFd.h"
#include "base/SharedFD.h"
#include "host/foundation/Foundation.h"
#include "host/media/CMFormatDescription.h"

using CVReturn = std::int32_t;
inline constexpr CVReturn kCVReturnSuccess = 0;
inline constexpr CVReturn kCVReturnError = -6660;
inline constexpr CVReturn kCVReturnInvalidArgument = -6661;
inline constexpr CVReturn kCVReturnAllocationFailed = -6662;
inline constexpr CVReturn kCVReturnInvalidPixelFormat = -6680;
inline constexpr CVReturn kCVReturnInvalidSize = -6681;
inline constexpr CVReturn kCVReturnInvalidPixelBufferAttributes = -6682;
inline constexpr CVReturn kCVReturnPoolAllocationFailed = -6690;
// Returned when a pool already has its ceiling of buffers out and none is free.
inline constexpr CVReturn kCVReturnWouldExceedAllocationThreshold = -6689;

using CVPixelBufferLockFlags = std::uint64_t;
inline constexpr CVPixelBufferLockFlags kCVPixelBufferLock_ReadOnly = 1;

inline const std::string kCVPixelBufferPixelFormatTypeKey = "PixelFormatType";
inline const std::string kCVPixelBufferWidthKey = "Width";
inline const std::string kCVPixelBufferHeightKey = "Height";
inline const std::string kCVPixelBufferIOSurfacePropertiesKey = "IOSurfaceProperties";

// How many buffers one pool hands out at most; past it, creation fails instead of growing.
inline constexpr std::size_t kCVPixelBufferPoolMaximumBufferCount = 32;

// One block of frame memory: a sealed memfd, its size and an identity that stays the same
// while a pool recycles the block, so a peer that mapped it once can keep its mapping. Its seed
// changes each time a holder that locked it for writing unlocks it.
class CVPixelBufferMemory {
  public:
    // Memory to be mapped on first use: writable, or read-only (a peer's).
    CVPixelBufferMemory(kova::base::SharedFD fd, std::size_t size, bool writable);
    // Memory already mapped writable by its creator.
    CVPixelBufferMemory(kova::base::WritableMemory memory, std::size_t size);

    const kova::base::SharedFD& fd() const { return fd_; }
    std::size_t size() const { return size_; }
    std::uint64_t id() const { return id_; }
    bool writable() const { return writable_; }
    std::uint32_t seed() const { return seed_.load(); }
    void markModified() { seed_.fetch_add(1); }
    // Maps the memory on first use and keeps the mapping; null if it cannot be mapped.
    std::uint8_t* data();

  private:
    kova::base::SharedFD fd_;
    std::size_t size_;
    bool writable_;
    std::uint64_t id_;
    std::atomic<std::uint32_t> seed_{0};
    std::once_flag mapOnce_;
    kova::base::MemoryMapping mapping_;
};

class CVPixelBuffer {
  public:
    struct Layout {
        std::size_t width = 0;
        std::size_t height = 0;
        FourCharCode pixelFormat = 0;
        std::size_t bytesPerRow = 0;
    };

    // Wraps memory without copying it. `onRelease` runs when the last holder lets go (on that
    // holder's thread); `ownerID` names who lent the memory (0: this process).
    CVPixelBuffer(Layout layout, std::shared_ptr<CVPixelBufferMemory> memory,
                  std::uint64_t ownerID = 0, std::function<void()> onRelease = {});
    ~CVPixelBuffer();
    CVPixelBuffer(const CVPixelBuffer&) = delete;
    CVPixelBuffer& operator=(const CVPixelBuffer&) = delete;

    const Layout& layout() const { return layout_; }
    const CVPixelBufferMemory& memory() const { return *memory_; }
    const std::shared_ptr<CVPixelBufferMemory>& sharedMemory() const { return memory_; }
    std::uint64_t ownerID() const { return ownerID_; }

    CVReturn lock(CVPixelBufferLockFlags flags);
    CVReturn unlock(CVPixelBufferLockFlags flags);
    void* baseAddress() const;

  private:
    Layout layout_;
    std::shared_ptr<CVPixelBufferMemory> memory_;
    std::uint64_t ownerID_;
    std::function<void()> onRelease_;
    mutable std::mutex lockMutex_;
    std::uint8_t* base_ = nullptr;
    int lockCount_ = 0;
};
using CVPixelBufferRef = std::shared_ptr<CVPixelBuffer>;
using CVImageBufferRef = CVPixelBufferRef;

CVReturn CVPixelBufferLockBaseAddress(const CVPixelBufferRef& pixelBuffer,
                                      CVPixelBufferLockFlags lockFlags);
CVReturn CVPixelBufferUnlockBaseAddress(const CVPixelBufferRef& pixelBuffer,
                                        CVPixelBufferLockFlags unlockFlags);
// The first byte of row 0 while locked, else null.
void* CVPixelBufferGetBaseAddress(const CVPixelBufferRef& pixelBuffer);
std::size_t CVPixelBufferGetBytesPerRow(const CVPixelBufferRef& pixelBuffer);
std::size_t CVPixelBufferGetWidth(const CVPixelBufferRef& pixelBuffer);
std::size_t CVPixelBufferGetHeight(const CVPixelBufferRef& pixelBuffer);
FourCharCode CVPixelBufferGetPixelFormatType(const CVPixelBufferRef& pixelBuffer);
std::size_t CVPixelBufferGetDataSize(const CVPixelBufferRef& pixelBuffer);

// The shared memory behind a pixel buffer. A pool hands the same surface out again and again;
// its seed tells whether anyone wrote to it in between.
using IOSurfaceRef = std::shared_ptr<const CVPixelBufferMemory>;
using IOSurfaceID = std::uint64_t;
IOSurfaceRef CVPixelBufferGetIOSurface(const CVPixelBufferRef& pixelBuffer);
// Unique among the surfaces of this process, for its whole life; 0 for no surface.
IOSurfaceID IOSurfaceGetID(const IOSurfaceRef& surface);
// Changes whenever a lock taken for writing is released.
std::uint32_t IOSurfaceGetSeed(const IOSurfaceRef& surface);

class CVPixelBufferPool;
using CVPixelBufferPoolRef = std::shared_ptr<CVPixelBufferPool>;

// Hands out pixel buffers of one layout, each in its own sealed memfd. A released buffer's
// memory goes back to the pool and is handed out again; past the ceiling the pool refuses.
class CVPixelBufferPool : public std::enable_shared_from_this<CVPixelBufferPool> {
  public:
    explicit CVPixelBufferPool(
        CVPixelBuffer::Layout layout,
        std::size_t maximumBufferCount = kCVPixelBufferPoolMaximumBufferCount);

    const CVPixelBuffer::Layout& layout() const { return layout_; }
    CVReturn createPixelBuffer(CVPixelBufferRef* pixelBufferOut);
    // Buffers handed out and not yet back; memory blocks made so far.
    std::size_t outstandingCount() const;
    std::size_t allocatedCount() const;

  private:
    void recycle(std::shared_ptr<CVPixelBufferMemory> memory);

    CVPixelBuffer::Layout layout_;
    std::size_t maximumBufferCount_;
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<CVPixelBufferMemory>> free_;
    std::size_t allocated_ = 0;
};

// Builds a pool from pixel-buffer attributes (pixel format, width and height are required).
// On failure returns a non-zero status and leaves *poolOut empty.
CVReturn CVPixelBufferPoolCreate(CFAllocatorRef allocator, const CFDictionaryRef& poolAttributes,
                                 const CFDictionaryRef& pixelBufferAttributes,
                                 CVPixelBufferPoolRef* poolOut);
CVReturn CVPixelBufferPoolCreatePixelBuffer(CFAllocatorRef allocator,
                                            const CVPixelBufferPoolRef& pixelBufferPool,
                                            CVPixelBufferRef* pixelBufferOut);
