// Video format descriptions.
//
// Threading: a format description is immutable once created; share it freely.
#pragma once

#include <cstdint>
#include <memory>

#include "host/foundation/Foundation.h"

using OSStatus = std::int32_t;
inline constexpr OSStatus noErr = 0;
using FourCharCode = std::uint32_t;
using CMVideoCodecType = FourCharCode;

// Four-character codes pack their first character into the most significant byte.
constexpr FourCharCode FourCC(const char (&code)[5]) {
    return (FourCharCode(std::uint8_t(code[0])) << 24) |
           (FourCharCode(std::uint8_t(code[1])) << 16) |
           (FourCharCode(std::uint8_t(code[2])) << 8) | FourCharCode(std::uint8_t(code[3]));
}

inline constexpr FourCharCode kCVPixelFormatType_32BGRA = FourCC("BGRA");
inline constexpr OSStatus kCMFormatDescriptionError_InvalidParameter = -12710;
inline constexpr OSStatus kCMFormatDescriptionError_AllocationFailed = -12711;

struct CMVideoDimensions {
    std::int32_t width = 0;
    std::int32_t height = 0;
    bool operator==(const CMVideoDimensions&) const = default;
};

class CMFormatDescription {
  public:
    CMFormatDescription(CMVideoCodecType codecType, CMVideoDimensions dimensions)
        : codecType_(codecType), dimensions_(dimensions) {}

    CMVideoCodecType mediaSubType() const { return codecType_; }
    CMVideoDimensions dimensions() const { return dimensions_; }

  private:
    CMVideoCodecType codecType_;
    CMVideoDimensions dimensions_;
};
using CMFormatDescriptionRef = std::shared_ptr<const CMFormatDescription>;
using CMVideoFormatDescriptionRef = CMFormatDescriptionRef;

// Creates a video format description. On failure returns a non-zero status and leaves *out empty.
OSStatus CMVideoFormatDescriptionCreate(CFAllocatorRef allocator, CMVideoCodecType codecType,
                                        std::int32_t width, std::int32_t height,
                                        const CFDictionaryRef& extensions,
                                        CMFormatDescriptionRef* formatDescriptionOut);
