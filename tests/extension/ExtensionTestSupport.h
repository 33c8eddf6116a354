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

// A sent frame's pixels, locked read-only for as long as this lives.
class FramePixels {
  public:
    explicit FramePixels(const CMSampleBufferRef& sampleBuffer)
        : buffer_(sampleBuffer->imageBuffer()) {
        CVPixelBufferLockBaseAddress(buffer_, kCVPixelBufferLock_ReadOnly);
        base_ = static_cast<const std::uint8_t*>(CVPixelBufferGetBaseAddress(buffer_));
        bytesPerRow_ = CVPixelBufferGetBytesPerRow(buffer_);
    }
    ~FramePixels() { CVPixelBufferUnlockBaseAddress(buffer_, kCVPixelBufferLock_ReadOnly); }
    FramePixels(const FramePixels&) = delete;
    FramePixels& operator=(const FramePixels&) = delete;

    std::size_t bytesPerRow() const { return bytesPerRow_; }
    std::size_t height() const { return CVPixelBufferGetHeight(buffer_); }
    // The byte at `byteInRow` of row `y`.
    std::uint8_t byte(std::size_t y, std::size_t byteInRow) const {
        return base_[y * bytesPerRow_ + byteInRow];
    }
    // The 4 bytes (B, G, R, A) of pixel (x, y).
    std::array<std::uint8_t, 4> pixel(std::size_t x, std::size_t y) const {
        return {byte(y, x * 4), byte(y, x * 4 + 1), byte(y, x * 4 + 2), byte(y, x * 4 + 3)};
    }

  private:
    CVPixelBufferRef buffer_;
    const std::uint8_t* base_ = nullptr;
    std::size_t bytesPerRow_ = 0;
};

inline constexpr std::array<std::uint8_t, 4> kBackground = {0x1E, 0x1C, 0x1C, 0xFF};
inline constexpr std::array<std::uint8_t, 4> kPanel = {0x2E, 0x2C, 0x2C, 0xFF};

}  // namespace kova::testing
