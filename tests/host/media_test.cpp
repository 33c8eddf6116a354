// Host media tests: media time, UUIDs, format descriptions, pixel buffers and pools in sealed
// shared memory, sample buffers and the pattern fill.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <string>
#include <vector>

#include "base/MemFd.h"
#include "host/foundation/Foundation.h"
#include "host/media/CMFormatDescription.h"
#include "host/media/CMSampleBuffer.h"
#include "host/media/CMTime.h"
#include "host/media/CVPixelBuffer.h"
#include "host/media/PatternFill.h"
#include "tests/double/FakeHost.h"
#include "tests/harness/FdCount.h"

namespace {

using kova::base::MemFd;
using kova::base::MemoryMapping;
using kova::base::SharedFD;
using kova::base::UniqueFD;
using kova::host::HostOperation;
using kova::testing::FdLeakGuard;
using kova::testing::ScopedFakeHost;

constexpr std::size_t kWidth = 800;
constexpr std::size_t kHeight = 960;
constexpr std::size_t kFrameBytes = kWidth * 4 * kHeight;

CFDictionaryRef frameAttributes(CFNumber pixelFormat = std::uint32_t(kCVPixelFormatType_32BGRA),
                                CFNumber width = std::int64_t(kWidth),
                                CFNumber height = std::int64_t(kHeight)) {
    auto attributes = std::make_shared<CFDictionary>();
    attributes->entries[kCVPixelBufferPixelFormatTypeKey] = pixelFormat;
    attributes->entries[kCVPixelBufferWidthKey] = width;
    attributes->entries[kCVPixelBufferHeightKey] = height;
    attributes->entries[kCVPixelBufferIOSurfacePropertiesKey] =
        std::make_shared<const CFDictionary>();
    return attributes;
}

CVPixelBufferPoolRef makeFramePool() {
    CVPixelBufferPoolRef pool;
    EXPECT_EQ(CVPixelBufferPoolCreate(kCFAllocatorDefault, nullptr, frameAttributes(), &pool),
              kCVReturnSuccess);
    return pool;
}

CVPixelBufferRef takeBuffer(const CVPixelBufferPoolRef& pool) {
    CVPixelBufferRef buffer;
    EXPECT_EQ(CVPixelBufferPoolCreatePixelBuffer(kCFAllocatorDefault, pool, &buffer),
              kCVReturnSuccess);
    return buffer;
}

// ---- media time ----

TEST(MediaTime, TimesWithoutANumberOfSeconds) {
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    constexpr double kInfinity = std::numeric_limits<double>::infinity();
    const struct {
        CMTime time;
        double seconds;  // NaN: not a number
    } cases[] = {
        {CMTimeMake(-1, 4), -0.25},
        {CMTimeMake(100, 0), kNaN},  // a timescale that is not positive makes it invalid
        {CMTimeMake(100, -5983), kNaN},
        {kCMTimeInvalid, kNaN},
        {kCMTimeIndefinite, kNaN},
        {kCMTimePositiveInfinity, kInfinity},
        {kCMTimeNegativeInfinity, -kInfinity},
        {CMTime{5, 0, kCMTimeFlags_Valid, 0}, kNaN},  // valid flag, broken timescale
    };
    for (const auto& c : cases) {
        const double seconds = CMTimeGetSeconds(c.time);
        if (std::isnan(c.seconds)) {
            EXPECT_TRUE(std::isnan(seconds)) << c.time.value << "/" << c.time.timescale;
        } else {
            EXPECT_EQ(seconds, c.seconds) << c.time.value << "/" << c.time.timescale;
        }
    }
    EXPECT_EQ(CMTimeMake(100, 0), kCMTimeInvalid);
}

// ---- UUIDs ----

TEST(UUIDText, ParsesAndFormatsRoundTrip) {
    const std::string text = "6E3D5CAB-70CE-4E1A-9A5E-3D5C0A11B0D4";
    const auto uuid = UUID::fromUUIDString(text);
    ASSERT_TRUE(uuid);
    EXPECT_EQ(uuid->uuidString(), text);
    EXPECT_EQ(uuid->bytes()[0], 0x6E);
    EXPECT_EQ(uuid->bytes()[15], 0xD4);
    const auto lower = UUID::fromUUIDString("6e3d5cab-70ce-4e1a-9a5e-3d5c0a11b0d4");
    ASSERT_TRUE(lower);
    EXPECT_EQ(*lower, *uuid);
    EXPECT_EQ(lower->uuidString(), text);  // always written upper-case
}

TEST(UUIDText, RejectsTextThatIsNotAUUID) {
    for (const char* text : {
             "",
             "6E3D5CAB-70CE-4E1A-9A5E-3D5C0A11B0D",    // 35 characters
             "6E3D5CAB-70CE-4E1A-9A5E-3D5C0A11B0D40",  // 37 characters
             "6E3D5CAB70CE-4E1A-9A5E-3D5C0A11B0D4-",   // hyphen moved
             "6E3D5CAB-70CE-4E1A-9A5E+3D5C0A11B0D4",   // wrong separator
             "6E3D5CAB-70CE-4E1A-9A5E-3D5C0A11B0DG",   // not a hex digit
             "{E3D5CAB-70CE-4E1A-9A5E-3D5C0A11B0D4",
             "6E3D5CAB-70CE-4E1A-9A5E-3D5C0A11 0D4",
         }) {
        EXPECT_FALSE(UUID::fromUUIDString(text)) << text;
    }
}

TEST(UUIDText, RandomUUIDsAreVersion4AndDistinct) {
    const UUID first = UUID::random();
    const UUID second = UUID::random();
    EXPECT_NE(first, second);
    for (const UUID& uuid : {first, second}) {
        EXPECT_EQ(uuid.bytes()[6] >> 4, 4);
        EXPECT_EQ(uuid.bytes()[8] >> 6, 2);
        EXPECT_EQ(UUID::fromUUIDString(uuid.uuidString()), uuid);
    }
}

// ---- format descriptions ----

TEST(FormatDescription, RefusesBadParametersAndInjectedFailures) {
    ScopedFakeHost host;
    CMFormatDescriptionRef description;
    EXPECT_NE(
        CMVideoFormatDescriptionCreate(kCFAllocatorDefault, 0, 800, 960, nullptr, &description),
        noErr);
    EXPECT_FALSE(description);
    for (auto [width, height] : {std::pair{0, 960}, {800, 0}, {-800, 960}, {800, -1}}) {
        EXPECT_EQ(CMVideoFormatDescriptionCreate(kCFAllocatorDefault, kCVPixelFormatType_32BGRA,
                                                 width, height, nullptr, &description),
                  kCMFormatDescriptionError_InvalidParameter);
        EXPECT_FALSE(description);
    }
    host->failNext(HostOperation::CreateFormatDescription, -12711);
    EXPECT_EQ(CMVideoFormatDescriptionCreate(kCFAllocatorDefault, kCVPixelFormatType_32BGRA, 800,
                                             960, nullptr, &description),
              -12711);
    EXPECT_FALSE(description);
    EXPECT_EQ(CMVideoFormatDescriptionCreate(kCFAllocatorDefault, kCVPixelFormatType_32BGRA, 800,
                                             960, nullptr, &description),
              noErr);
    EXPECT_TRUE(description);
}

// ---- shared memory ----

TEST(SharedMemory, CreatedMemoryIsSealedAndSized) {
    FdLeakGuard fds;
    const auto created = MemFd::createSealed("test", 4096);
    ASSERT_TRUE(created) << created.failure().message;
    const UniqueFD& fd = *created;
    const int seals = ::fcntl(fd.get(), F_GET_SEALS);
    EXPECT_EQ(seals & (F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL),
              F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL);
    EXPECT_EQ(::ftruncate(fd.get(), 100), -1);
    EXPECT_EQ(errno, EPERM);
    EXPECT_EQ(MemFd::checkImported(fd.get(), 4096), 0);
    const auto empty = MemFd::createSealed("test", 0);
    ASSERT_FALSE(empty);
    EXPECT_EQ(empty.failure().error, -EINVAL);
}

TEST(SharedMemory, WritableMemoryIsWrittenOnlyThroughItsCreatorsMapping) {
    FdLeakGuard fds;
    auto memory = MemFd::createWritable("test", 8192);
    ASSERT_TRUE(memory) << memory.failure().message;
    ASSERT_EQ(memory->mapping.size(), 8192u);
    memory->mapping.data()[8191] = 0x7A;
    EXPECT_EQ(MemFd::checkImported(memory->fd.get(), 8192), 0);

    // Whoever holds the fd, this process included, can read the memory and nothing more.
    const auto reader = MemoryMapping::create(memory->fd.get(), 8192, false);
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->data()[8191], 0x7A);
    const auto writer = MemoryMapping::create(memory->fd.get(), 8192, true);
    ASSERT_FALSE(writer);
    EXPECT_EQ(writer.failure().error, -EPERM);
    const std::uint8_t byte = 1;
    EXPECT_EQ(::pwrite(memory->fd.get(), &byte, 1, 0), -1);
    EXPECT_EQ(::fallocate(memory->fd.get(), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, 4096),
              -1);
    EXPECT_EQ(::fcntl(memory->fd.get(), F_ADD_SEALS, F_SEAL_WRITE), -1) << "seals could change";
    EXPECT_EQ(reader->data()[0], 0);

    const auto empty = MemFd::createWritable("test", 0);
    ASSERT_FALSE(empty);
    EXPECT_EQ(empty.failure().error, -EINVAL);
}

TEST(SharedMemory, ImportCheckRefusesUnsealedSmallAndForeignFds) {
    FdLeakGuard fds;
    const UniqueFD sealed = MemFd::create("test", 4096);
    EXPECT_EQ(MemFd::checkImported(sealed.get(), 4097), -EINVAL);

    const UniqueFD unsealed(::memfd_create("test", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    ASSERT_EQ(::ftruncate(unsealed.get(), 4096), 0);
    EXPECT_EQ(MemFd::checkImported(unsealed.get(), 4096), -EPERM);
    // Sealed against shrinking only: a peer could still grow it, which is refused too.
    ASSERT_EQ(::fcntl(unsealed.get(), F_ADD_SEALS, F_SEAL_SHRINK), 0);
    EXPECT_EQ(MemFd::checkImported(unsealed.get(), 4096), -EPERM);

    int pipeFds[2];
    ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
    const UniqueFD readEnd(pipeFds[0]), writeEnd(pipeFds[1]);
    EXPECT_EQ(MemFd::checkImported(readEnd.get(), 1), -EINVAL);
    EXPECT_EQ(MemFd::checkImported(-1, 1), -EBADF);
}

TEST(SharedMemory, MappingsShareBytesAndMove) {
    FdLeakGuard fds;
    const UniqueFD fd = MemFd::create("test", 4096);
    auto writable = MemoryMapping::create(fd.get(), 4096, true);
    auto readable = MemoryMapping::create(fd.get(), 4096, false);
    ASSERT_TRUE(writable && readable);
    writable->data()[4095] = 0x5A;
    EXPECT_EQ(readable->data()[4095], 0x5A);
    MemoryMapping moved = std::move(*writable);
    EXPECT_EQ(writable->data(), nullptr);
    EXPECT_EQ(moved.size(), 4096u);
    EXPECT_EQ(MemoryMapping::create(fd.get(), 0, false).failure().error, -EINVAL);
    EXPECT_EQ(MemoryMapping::create(-1, 4096, false).failure().error, -EBADF);
}

// ---- pixel-buffer pools ----

class PixelBufferPoolTest : public ::testing::Test {
  protected:
    FdLeakGuard fds_;
    ScopedFakeHost host_;
};

TEST_F(PixelBufferPoolTest, BuffersHaveTheFrameLayoutInSealedMemory) {
    const auto pool = makeFramePool();
    ASSERT_TRUE(pool);
    const auto buffer = takeBuffer(pool);
    ASSERT_TRUE(buffer);
    EXPECT_EQ(CVPixelBufferGetWidth(buffer), kWidth);
    EXPECT_EQ(CVPixelBufferGetHeight(buffer), kHeight);
    EXPECT_EQ(CVPixelBufferGetPixelFormatType(buffer), kCVPixelFormatType_32BGRA);
    EXPECT_EQ(CVPixelBufferGetBytesPerRow(buffer), 3200u);
    EXPECT_EQ(CVPixelBufferGetDataSize(buffer), kFrameBytes);

    // Peers are sent this fd: they can map the pixels read-only, never write them.
    const int fd = buffer->memory().fd().get();
    const int seals = ::fcntl(fd, F_GET_SEALS);
    constexpr int kSeals = F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_FUTURE_WRITE | F_SEAL_SEAL;
    EXPECT_EQ(seals & kSeals, kSeals);
    EXPECT_FALSE(MemoryMapping::create(fd, kFrameBytes, true));
    struct stat status {};
    ASSERT_EQ(::fstat(fd, &status), 0);
    EXPECT_EQ(std::size_t(status.st_size), kFrameBytes);
    EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
}

TEST_F(PixelBufferPoolTest, RowPaddingWidensEveryRow) {
    host_->setPixelBufferRowPadding(64);
    const auto buffer = takeBuffer(makeFramePool());
    ASSERT_TRUE(buffer);
    EXPECT_EQ(CVPixelBufferGetBytesPerRow(buffer), 3264u);
    EXPECT_EQ(buffer->memory().size(), 3264u * kHeight);
}

TEST_F(PixelBufferPoolTest, AttributesAreCheckedBeforeAPoolIsMade) {
    CVPixelBufferPoolRef pool;
    // The pixel format may come as a signed 64-bit number too.
    EXPECT_EQ(
        CVPixelBufferPoolCreate(kCFAllocatorDefault, nullptr,
                                frameAttributes(std::int64_t(kCVPixelFormatType_32BGRA)), &pool),
        kCVReturnSuccess);
    EXPECT_TRUE(pool);

    auto missingWidth = std::make_shared<CFDictionary>(*frameAttributes());
    missingWidth->entries.erase(kCVPixelBufferWidthKey);
    const std::vector<std::pair<CFDictionaryRef, CVReturn>> refused = {
        {nullptr, kCVReturnInvalidPixelBufferAttributes},
        {missingWidth, kCVReturnInvalidPixelBufferAttributes},
        {frameAttributes(std::uint32_t(kCVPixelFormatType_32BGRA), 800.0),
         kCVReturnInvalidPixelBufferAttributes},
        {frameAttributes(std::uint32_t(kCVPixelFormatType_32BGRA), std::int64_t(0)),
         kCVReturnInvalidPixelBufferAttributes},
        {frameAttributes(std::uint32_t(kCVPixelFormatType_32BGRA), std::int64_t(800),
                         std::int64_t(-960)),
         kCVReturnInvalidPixelBufferAttributes},
        {frameAttributes(std::uint32_t(FourCC("420v"))), kCVReturnInvalidPixelFormat},
        {frameAttributes(std::uint32_t(kCVPixelFormatType_32BGRA), std::int64_t(1) << 40),
         kCVReturnInvalidSize},
    };
    for (const auto& [attributes, status] : refused) {
        EXPECT_EQ(CVPixelBufferPoolCreate(kCFAllocatorDefault, nullptr, attributes, &pool), status);
        EXPECT_FALSE(pool);
    }
    auto textFormat = std::make_shared<CFDictionary>(*frameAttributes());
    textFormat->entries[kCVPixelBufferPixelFormatTypeKey] = std::string("BGRA");
    EXPECT_EQ(CVPixelBufferPoolCreate(kCFAllocatorDefault, nullptr, textFormat, &pool),
              kCVReturnInvalidPixelBufferAttributes);
}

TEST_F(PixelBufferPoolTest, InjectedFailuresLeaveNoOutput) {
    CVPixelBufferPoolRef pool;
    host_->failNext(HostOperation::CreatePixelBufferPool, -6690);
    EXPECT_EQ(CVPixelBufferPoolCreate(kCFAllocatorDefault, nullptr, frameAttributes(), &pool),
              -6690);
    EXPECT_FALSE(pool);
    pool = makeFramePool();

    CVPixelBufferRef buffer;
    host_->failNext(HostOperation::CreatePixelBuffer, -6689, 2);
    EXPECT_EQ(CVPixelBufferPoolCreatePixelBuffer(kCFAllocatorDefault, pool, &buffer), -6689);
    EXPECT_FALSE(buffer);
    EXPECT_EQ(CVPixelBufferPoolCreatePixelBuffer(kCFAllocatorDefault, pool, &buffer), -6689);
    EXPECT_EQ(CVPixelBufferPoolCreatePixelBuffer(kCFAllocatorDefault, pool, &buffer),
              kCVReturnSuccess);
    EXPECT_TRUE(buffer);
    EXPECT_EQ(CVPixelBufferPoolCreatePixelBuffer(kCFAllocatorDefault, nullptr, &buffer),
              kCVReturnInvalidArgument);
    EXPECT_FALSE(buffer);
}

TEST_F(PixelBufferPoolTest, MemoryComesBackOnlyWhenEveryHolderHasReleasedIt) {
    const auto pool = makeFramePool();
    auto buffer = takeBuffer(pool);
    const CVPixelBufferMemory* memory = &buffer->memory();
    const std::uint64_t id = memory->id();

    // A sample buffer wrapping the pixel buffer keeps the memory out of the pool.
    CMFormatDescriptionRef format;
    ASSERT_EQ(CMVideoFormatDescriptionCreate(kCFAllocatorDefault, kCVPixelFormatType_32BGRA, 800,
                                             960, nullptr, &format),
              noErr);
    CMSampleTimingInfo timing;
    CMSampleBufferRef sample;
    ASSERT_EQ(CMSampleBufferCreateForImageBuffer(kCFAllocatorDefault, buffer, true, nullptr,
                                                 nullptr, format, &timing, &sample),
              noErr);
    buffer.reset();
    EXPECT_EQ(pool->outstandingCount(), 1u);
    const auto second = takeBuffer(pool);
    EXPECT_NE(second->memory().id(), id);

    sample.reset();
    EXPECT_EQ(pool->outstandingCount(), 1u);
    const auto recycled = takeBuffer(pool);
    EXPECT_EQ(recycled->memory().id(), id);
    EXPECT_EQ(&recycled->memory(), memory);
    EXPECT_EQ(pool->allocatedCount(), 2u);
}

TEST_F(PixelBufferPoolTest, CeilingRefusesWithoutABufferThenRecovers) {
    const auto pool = makeFramePool();
    std::vector<CVPixelBufferRef> held;
    for (std::size_t i = 0; i < kCVPixelBufferPoolMaximumBufferCount; ++i) {
        held.push_back(takeBuffer(pool));
        ASSERT_TRUE(held.back());
    }
    CVPixelBufferRef refused;
    EXPECT_EQ(CVPixelBufferPoolCreatePixelBuffer(kCFAllocatorDefault, pool, &refused),
              kCVReturnWouldExceedAllocationThreshold);
    EXPECT_FALSE(refused);
    EXPECT_EQ(pool->allocatedCount(), kCVPixelBufferPoolMaximumBufferCount);

    const std::uint64_t releasedID = held[7]->memory().id();
    held[7].reset();
    const auto recovered = takeBuffer(pool);
    ASSERT_TRUE(recovered);
    EXPECT_EQ(recovered->memory().id(), releasedID);
}

TEST_F(PixelBufferPoolTest, BufferOutlivingItsPoolFreesItsMemory) {
    auto pool = makeFramePool();
    auto buffer = takeBuffer(pool);
    pool.reset();
    ASSERT_EQ(CVPixelBufferLockBaseAddress(buffer, 0), kCVReturnSuccess);
    std::memset(CVPixelBufferGetBaseAddress(buffer), 0x7F, kFrameBytes);
    CVPixelBufferUnlockBaseAddress(buffer, 0);
    buffer.reset();  // the fd guard sees the memfd closed
}

TEST_F(PixelBufferPoolTest, MemoryIDsAreUniqueAcrossPools) {
    const auto first = takeBuffer(makeFramePool());
    const auto second = takeBuffer(makeFramePool());
    EXPECT_NE(first->memory().id(), second->memory().id());
}

TEST_F(PixelBufferPoolTest, BaseAddressExistsOnlyWhileLockedAndWritingChangesTheSeed) {
    const auto buffer = takeBuffer(makeFramePool());
    const IOSurfaceRef surface = CVPixelBufferGetIOSurface(buffer);
    const std::uint32_t unwritten = IOSurfaceGetSeed(surface);
    EXPECT_EQ(CVPixelBufferGetBaseAddress(buffer), nullptr);
    ASSERT_EQ(CVPixelBufferLockBaseAddress(buffer, 0), kCVReturnSuccess);
    auto* base = static_cast<std::uint8_t*>(CVPixelBufferGetBaseAddress(buffer));
    ASSERT_NE(base, nullptr);
    base[0] = 1;
    base[kFrameBytes - 1] = 2;
    // Nested locks: the address stays until the last unlock.
    ASSERT_EQ(CVPixelBufferLockBaseAddress(buffer, kCVPixelBufferLock_ReadOnly), kCVReturnSuccess);
    EXPECT_EQ(CVPixelBufferUnlockBaseAddress(buffer, kCVPixelBufferLock_ReadOnly),
              kCVReturnSuccess);
    EXPECT_EQ(CVPixelBufferGetBaseAddress(buffer), base);
    EXPECT_EQ(IOSurfaceGetSeed(surface), unwritten) << "a read-only lock changed the seed";
    EXPECT_EQ(CVPixelBufferUnlockBaseAddress(buffer, 0), kCVReturnSuccess);
    EXPECT_EQ(CVPixelBufferGetBaseAddress(buffer), nullptr);
    const std::uint32_t written = IOSurfaceGetSeed(surface);
    EXPECT_NE(written, unwritten);
    EXPECT_NE(CVPixelBufferUnlockBaseAddress(buffer, 0), kCVReturnSuccess);
    EXPECT_EQ(IOSurfaceGetSeed(surface), written) << "an unlock without a lock changed the seed";
    EXPECT_EQ(CVPixelBufferLockBaseAddress(nullptr, 0), kCVReturnInvalidArgument);
}

TEST_F(PixelBufferPoolTest, InjectedLockFailureLeavesNoBaseAddress) {
    const auto buffer = takeBuffer(makeFramePool());
    host_->failNext(HostOperation::LockBaseAddress, -6660);
    EXPECT_EQ(CVPixelBufferLockBaseAddress(buffer, 0), -6660);
    EXPECT_EQ(CVPixelBufferGetBaseAddress(buffer), nullptr);
    EXPECT_NE(CVPixelBufferUnlockBaseAddress(buffer, 0), kCVReturnSuccess);
    EXPECT_EQ(CVPixelBufferLockBaseAddress(buffer, 0), kCVReturnSuccess);
    EXPECT_NE(CVPixelBufferGetBaseAddress(buffer), nullptr);
    CVPixelBufferUnlockBaseAddress(buffer, 0);
}

TEST_F(PixelBufferPoolTest, ImportedMemoryMapsOnFirstLockAndStaysReadOnly) {
    const auto pooled = takeBuffer(makeFramePool());
    ASSERT_EQ(CVPixelBufferLockBaseAddress(pooled, 0), kCVReturnSuccess);
    static_cast<std::uint8_t*>(CVPixelBufferGetBaseAddress(pooled))[12345] = 0xC3;
    CVPixelBufferUnlockBaseAddress(pooled, 0);

    // The same memfd, as a peer's buffer would arrive: wrapped read-only, with a release hook.
    bool released = false;
    auto imported = std::make_shared<CVPixelBuffer>(
        pooled->layout(),
        std::make_shared<CVPixelBufferMemory>(pooled->memory().fd(), kFrameBytes, false), 42,
        [&released] { released = true; });
    EXPECT_EQ(imported->ownerID(), 42u);
    EXPECT_EQ(CVPixelBufferLockBaseAddress(imported, 0), kCVReturnInvalidArgument);
    ASSERT_EQ(CVPixelBufferLockBaseAddress(imported, kCVPixelBufferLock_ReadOnly),
              kCVReturnSuccess);
    EXPECT_EQ(static_cast<const std::uint8_t*>(CVPixelBufferGetBaseAddress(imported))[12345], 0xC3);
    CVPixelBufferUnlockBaseAddress(imported, kCVPixelBufferLock_ReadOnly);
    imported.reset();
    EXPECT_TRUE(released);
}

// ---- sample buffers ----

TEST(SampleBuffer, MissingPartsAndInjectedFailuresGiveNoBuffer) {
    FdLeakGuard fds;
    ScopedFakeHost host;
    const auto pixels = takeBuffer(makeFramePool());
    CMFormatDescriptionRef format;
    CMVideoFormatDescriptionCreate(kCFAllocatorDefault, kCVPixelFormatType_32BGRA, 800, 960,
                                   nullptr, &format);
    CMSampleTimingInfo timing;
    CMSampleBufferRef sample;
    EXPECT_EQ(CMSampleBufferCreateForImageBuffer(kCFAllocatorDefault, nullptr, true, nullptr,
                                                 nullptr, format, &timing, &sample),
              kCMSampleBufferError_RequiredParameterMissing);
    EXPECT_EQ(CMSampleBufferCreateForImageBuffer(kCFAllocatorDefault, pixels, true, nullptr,
                                                 nullptr, nullptr, &timing, &sample),
              kCMSampleBufferError_RequiredParameterMissing);
    EXPECT_EQ(CMSampleBufferCreateForImageBuffer(kCFAllocatorDefault, pixels, true, nullptr,
                                                 nullptr, format, nullptr, &sample),
              kCMSampleBufferError_RequiredParameterMissing);
    EXPECT_FALSE(sample);
    host->failNext(HostOperation::CreateSampleBuffer, -12730);
    EXPECT_EQ(CMSampleBufferCreateForImageBuffer(kCFAllocatorDefault, pixels, true, nullptr,
                                                 nullptr, format, &timing, &sample),
              -12730);
    EXPECT_FALSE(sample);
}

// ---- pattern fill ----

void naivePatternFill(std::uint8_t* b, const std::uint8_t* pattern, std::size_t len) {
    for (std::size_t i = 0; i < len; ++i) b[i] = pattern[i % 4];
}

TEST(PatternFill, MatchesAByteLoopForEveryLengthAndAlignment) {
    constexpr std::uint8_t kPattern[4] = {0x1E, 0x1C, 0x2C, 0xFF};
    constexpr std::size_t kGuard = 64;
    std::vector<std::size_t> lengths(300);
    std::iota(lengths.begin(), lengths.end(), 0);
    // Around the switch to the string store (1 MiB of aligned body) too.
    for (std::size_t big : {4095u, 4096u, 4097u, 65536u + 13u, (1u << 20) + 17u, (1u << 20) + 40u,
                            3200u * 960u + 3u}) {
        lengths.push_back(big);
    }
    std::vector<std::uint8_t> actual, expected;
    auto variants = kova::host::patternFillVariants();
    variants.push_back({"memset_pattern4", memset_pattern4});
    for (const auto& variant : variants) {
        for (const std::size_t len : lengths) {
            for (std::size_t misalignment = 0; misalignment < 64; ++misalignment) {
                if (len > 4096 && misalignment % 7 != 0) continue;  // keeps the big ones quick
                actual.assign(len + misalignment + 2 * kGuard, 0xAA);
                expected = actual;
                variant.fill(actual.data() + kGuard + misalignment, kPattern, len);
                naivePatternFill(expected.data() + kGuard + misalignment, kPattern, len);
                ASSERT_EQ(actual, expected)
                    << variant.name << ", length " << len << ", misalignment " << misalignment;
            }
        }
    }
}

}  // namespace
