// Wrapping image buffers in sample buffers.
#include "host/media/CMSampleBuffer.h"

#include "host/HostBackend.h"

OSStatus CMSampleBufferCreateForImageBuffer(
    CFAllocatorRef /*allocator*/, const CVImageBufferRef& imageBuffer, bool /*dataReady*/,
    CMSampleBufferMakeDataReadyCallback /*makeDataReadyCallback*/, void* /*makeDataReadyRefcon*/,
    const CMVideoFormatDescriptionRef& formatDescription, const CMSampleTimingInfo* sampleTiming,
    CMSampleBufferRef* sampleBufferOut) {
    if (sampleBufferOut == nullptr) return kCMSampleBufferError_RequiredParameterMissing;
    sampleBufferOut->reset();
    if (const OSStatus injected = kova::host::HostBackend::current()->failureFor(
            kova::host::HostOperation::CreateSampleBuffer)) {
        return injected;
    }
    if (!imageBuffer || !formatDescription || sampleTiming == nullptr) {
        return kCMSampleBufferError_RequiredParameterMissing;
    }
    // Image buffers are always ready here (their pixels are written before they are wrapped),
    // so there is no readiness to track and no callback to keep.
    *sampleBufferOut =
        std::make_shared<const CMSampleBuffer>(imageBuffer, formatDescription, *sampleTiming);
    return noErr;
}

CMTime CMSampleBufferGetPresentationTimeStamp(const CMSampleBufferRef& sampleBuffer) {
    return sampleBuffer ? sampleBuffer->presentationTimeStamp() : kCMTimeInvalid;
}
