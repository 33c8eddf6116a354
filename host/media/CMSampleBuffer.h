// Sample buffers: an image buffer with its format description and timing.
//
// Threading: a sample buffer is immutable once created; share it freely.
#pragma once

#include <memory>

#include "host/media/CMFormatDescription.h"
#include "host/media/CMTime.h"
#include "host/media/CVPixelBuffer.h"

struct CMSampleTimingInfo {
    CMTime duration = kCMTimeInvalid;
    CMTime presentationTimeStamp = kCMTimeInvalid;
    CMTime decodeTimeStamp = kCMTimeInvalid;
};

inline constexpr OSStatus kCMSampleBufferError_RequiredParameterMissing = -12731;
inline constexpr OSStatus kCMSampleBufferError_AllocationFailed = -12730;

class CMSampleBuffer {
  public:
    CMSampleBuffer(CVImageBufferRef imageBuffer, CMFormatDescriptionRef formatDescription,
                   CMSampleTimingInfo timing)
        : imageBuffer_(std::move(imageBuffer)),
          formatDescription_(std::move(formatDescription)),
          timing_(timing) {}

    const CVImageBufferRef& imageBuffer() const { return imageBuffer_; }
    const CMFormatDescriptionRef& formatDescription() const { return formatDescription_; }
    const CMSampleTimingInfo& timing() const { return timing_; }
    CMTime presentationTimeStamp() const { return timing_.presentationTimeStamp; }
    CMTime duration() const { return timing_.duration; }
    CMTime decodeTimeStamp() const { return timing_.decodeTimeStamp; }

  private:
    CVImageBufferRef imageBuffer_;
    CMFormatDescriptionRef formatDescription_;
    CMSampleTimingInfo timing_;
};
using CMSampleBufferRef = std::shared_ptr<const CMSampleBuffer>;

// The shape of the platform's make-data-ready callback; only "none" is supported.
using CMSampleBufferMakeDataReadyCallback = std::nullptr_t;

// Wraps an image buffer without copying it. `timingInfo` is one timing record.
// On failure returns a non-zero status and leaves *sampleBufferOut empty.
OSStatus CMSampleBufferCreateForImageBuffer(
    CFAllocatorRef allocator, const CVImageBufferRef& imageBuffer, bool dataReady,
    CMSampleBufferMakeDataReadyCallback makeDataReadyCallback, void* makeDataReadyRefcon,
    const CMVideoFormatDescriptionRef& formatDescription, const CMSampleTimingInfo* sampleTiming,
    CMSampleBufferRef* sampleBufferOut);
CMTime CMSampleBufferGetPresentationTimeStamp(const CMSampleBufferRef& sampleBuffer);
