// Helpers shared by the camera extension's tests: test devices, the records made on one stream,
// a sent frame's bytes and the placeholder picture's.
#pragma once

#include <gtest/gtest.h>

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

// The placeholder picture with rows of `stride` bytes: what one background fill over the whole
// frame (in phase from its first byte, padding included) and one fill per panel row leave.
inline std::vector<std::uint8_t> placeholderBytes(std::size_t stride) {
    constexpr std::uint8_t kBackground[4] = {0x1E, 0x1C, 0x1C, 0xFF};
    constexpr std::uint8_t kPanel[4] = {0x2E, 0x2C, 0x2C, 0xFF};
    std::vector<std::uint8_t> bytes(stride * 960);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = kBackground[i % 4];
    const std::size_t panels[][4] = {{120, 359, 400, 2800}, {480, 839, 640, 2560}};
    for (const auto& [firstRow, lastRow, firstByte, endByte] : panels) {
        for (std::size_t y = firstRow; y <= lastRow; ++y) {
            for (std::size_t b = firstByte; b < endByte; ++b) {
                bytes[y * stride + b] = kPanel[(b - firstByte) % 4];
            }
        }
    }
    return bytes;
}

}  // namespace kova::testing
