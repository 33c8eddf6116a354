// Helpers shared by the camera extension's tests: test devices, the records made on one stream,
// and reading the pixels of a sent frame.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "host/cmio/CMIOExtension.h"
#include "host/media/CMSampleBuffer.h"
#include "host/media/CVPixelBuffer.h"
#include "tests/double/FakeHost.h"

namespace kova::testing {

inline constexpr std::uint64_t kNanosecondsPerSecond = 1'000'000'000;
inline constexpr std::uint64_t kMillisecond = 1'000'000;

// A host device with no source, to build stream sources on.
inline CMIOExtensionDeviceRef makeTestDevice() {
    return CMIOExtensionDevice::initWithLocalizedName("Test Device", UUID::random(), std::nullopt,
                                                      {});
}

// The records (buffers sent, consume requests) made on `stream`, in order.
template <class Record>
std::vector<Record> madeOn(const std::vector<Record>& records,
                           const CMIOExtensionStreamRef& stream) {
    std::vector<Record> found;
    for (const Record& record : records) {
        if (record.stream == stream.get()) found.push_back(record);
    }
    return found;
}

// A sent frame's bytes, copied out under a read-only lock.
inline std::vector<std::uint8_t> bytesOf(const CMSampleBufferRef& frame) {
    const CVPixelBufferRef buffer = frame->imageBuffer();
    CVPixelBufferLockBaseAddress(buffer, kCVPixelBufferLock_ReadOnly);
    const auto* base = static_cast<const std::uint8_t*>(CVPixelBufferGetBaseAddress(buffer));
    std::vector<std::uint8_t> bytes(base, base + CVPixelBufferGetDataSize(buffer));
    CVPixelBufferUnlockBaseAddress(buffer, kCVPixelBufferLock_ReadOnly);
    return bytes;
}

// The 4 bytes (B, G, R, A) of pixel (x, y) of a sent frame.
inline std::array<std::uint8_t, 4> pixelOf(const CMSampleBufferRef& frame, std::size_t x,
                                           std::size_t y) {
    const auto bytes = bytesOf(frame);
    const std::size_t at = y * CVPixelBufferGetBytesPerRow(frame->imageBuffer()) + x * 4;
    return {bytes[at], bytes[at + 1], bytes[at + 2], bytes[at + 3]};
}

inline constexpr std::array<std::uint8_t, 4> kBackground = {0x1E, 0x1C, 0x1C, 0xFF};
inline constexpr std::array<std::uint8_t, 4> kPanel = {0x2E, 0x2C, 0x2C, 0xFF};

}  // namespace kova::testing
