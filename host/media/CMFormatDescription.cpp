// Creating video format descriptions.
#include "host/media/CMFormatDescription.h"

#include "host/HostBackend.h"

OSStatus CMVideoFormatDescriptionCreate(CFAllocatorRef /*allocator*/, CMVideoCodecType codecType,
                                        std::int32_t width, std::int32_t height,
                                        const CFDictionaryRef& /*extensions*/,
                                        CMFormatDescriptionRef* formatDescriptionOut) {
    if (formatDescriptionOut == nullptr) return kCMFormatDescriptionError_InvalidParameter;
    formatDescriptionOut->reset();
    if (const OSStatus injected = kova::host::HostBackend::current()->failureFor(
            kova::host::HostOperation::CreateFormatDescription)) {
        return injected;
    }
    // Extensions (colour tags and the like) describe nothing this host acts on: not kept.
    if (codecType == 0 || width <= 0 || height <= 0)
        return kCMFormatDescriptionError_InvalidParameter;
    *formatDescriptionOut =
        std::make_shared<const CMFormatDescription>(codecType, CMVideoDimensions{width, height});
    return noErr;
}
