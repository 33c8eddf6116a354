// Copies, colour conversions and scaling behind the PipeWire node, all done by libyuv.
#include "PixelConversion.h"

#include <libyuv/convert_from_argb.h>
#include <libyuv/planar_functions.h>
#include <libyuv/scale_argb.h>

#include <algorithm>

namespace kova::pipewire {
namespace {

// libyuv's "ARGB" is a little-endian word: B, G, R, A in memory, the camera's BGRA.
constexpr std::uint32_t kOpaqueBlack = 0xFF000000;

int to_int(std::size_t value) {
    return static_cast<int>(value);
}

// Converts a picture of `size` with no scaling.
void convert(PixelFormat format, const std::uint8_t* src, std::size_t src_stride, Size size,
             std::span<const Plane> planes) {
    const int width = static_cast<int>(size.width);
    const int height = static_cast<int>(size.height);
    const int stride = to_int(src_stride);
    switch (format) {
        case PixelFormat::BGRA:
        case PixelFormat::BGRx:
            libyuv::ARGBCopy(src, stride, planes[0].data, to_int(planes[0].stride), width, height);
            return;
        case PixelFormat::YUY2:
            libyuv::ARGBToYUY2(src, stride, planes[0].data, to_int(planes[0].stride), width,
                               height);
            return;
        case PixelFormat::NV12:
            libyuv::ARGBToNV12(src, stride, planes[0].data, to_int(planes[0].stride),
                               planes[1].data, to_int(planes[1].stride), width, height);
            return;
        case PixelFormat::I420:
            libyuv::ARGBToI420(src, stride, planes[0].data, to_int(planes[0].stride),
                               planes[1].data, to_int(planes[1].stride), planes[2].data,
                               to_int(planes[2].stride), width, height);
            return;
    }
}

// Paints what lies outside `picture` in a BGRA frame of `size` black: bars left and right, or
// above and below.
void paint_bars(std::uint8_t* frame, std::size_t stride, Size size, Rect picture) {
    const int s = to_int(stride);
    const auto rect = [&](std::uint32_t x, std::uint32_t y, std::uint32_t w, std::uint32_t h) {
        if (w == 0 || h == 0) return;
        libyuv::ARGBRect(frame, s, static_cast<int>(x), static_cast<int>(y), static_cast<int>(w),
                         static_cast<int>(h), kOpaqueBlack);
    };
    rect(0, 0, size.width, picture.y);
    rect(0, picture.y + picture.height, size.width, size.height - picture.y - picture.height);
    rect(0, picture.y, picture.x, picture.height);
    rect(picture.x + picture.width, picture.y, size.width - picture.x - picture.width,
         picture.height);
}

}  // namespace

const char* pixel_format_name(PixelFormat format) {
    switch (format) {
        case PixelFormat::BGRA:
            return "BGRA";
        case PixelFormat::BGRx:
            return "BGRx";
        case PixelFormat::YUY2:
            return "YUY2";
        case PixelFormat::NV12:
            return "NV12";
        case PixelFormat::I420:
            return "I420";
    }
    return "?";
}

Rect fit_picture(Size source, Size target) {
    // Compare source.w / source.h with target.w / target.h without rounding.
    const std::uint64_t wide = std::uint64_t{source.width} * target.height;
    const std::uint64_t tall = std::uint64_t{target.width} * source.height;
    Rect picture{0, 0, target.width, target.height};
    if (wide < tall) {
        picture.width = static_cast<std::uint32_t>(wide / source.height) & ~1u;
    } else if (wide > tall) {
        picture.height = static_cast<std::uint32_t>(tall / source.width) & ~1u;
    }
    picture.x = ((target.width - picture.width) / 2) & ~1u;
    picture.y = ((target.height - picture.height) / 2) & ~1u;
    return picture;
}

std::vector<PlaneLayout> plane_layouts(PixelFormat format, Size size) {
    const std::size_t width = size.width;
    const std::size_t height = size.height;
    switch (format) {
        case PixelFormat::BGRA:
        case PixelFormat::BGRx:
            return {{width * 4, width * 4 * height}};
        case PixelFormat::YUY2:
            return {{width * 2, width * 2 * height}};
        case PixelFormat::NV12:
            return {{width, width * height}, {width, width * height / 2}};
        case PixelFormat::I420:
            return {{width, width * height},
                    {width / 2, width / 2 * (height / 2)},
                    {width / 2, width / 2 * (height / 2)}};
    }
    return {};
}

FrameConverter::FrameConverter(PixelFormat format, Size source, Size target)
    : format_(format), source_(source), target_(target), picture_(fit_picture(source, target)) {
    const bool packed_bgra = format == PixelFormat::BGRA || format == PixelFormat::BGRx;
    if (!scales() || packed_bgra) return;
    const std::size_t stride = std::size_t{target.width} * 4;
    canvas_.resize(stride * target.height);
    paint_bars(canvas_.data(), stride, target, picture_);
}

void FrameConverter::write(const std::uint8_t* src, std::size_t src_stride,
                           std::span<const Plane> planes) {
    if (!scales()) {
        convert(format_, src, src_stride, target_, planes);
        return;
    }
    const auto scale_into = [&](std::uint8_t* frame, std::size_t stride) {
        std::uint8_t* corner = frame + picture_.y * stride + std::size_t{picture_.x} * 4;
        libyuv::ARGBScale(src, to_int(src_stride), static_cast<int>(source_.width),
                          static_cast<int>(source_.height), corner, to_int(stride),
                          static_cast<int>(picture_.width), static_cast<int>(picture_.height),
                          libyuv::kFilterBilinear);
    };
    if (canvas_.empty()) {
        // BGRA out: scale straight into the frame. The buffer may have held another frame
        // layout, so the bars are painted each time; they are a small share of the frame.
        paint_bars(planes[0].data, planes[0].stride, target_, picture_);
        scale_into(planes[0].data, planes[0].stride);
        return;
    }
    const std::size_t canvas_stride = std::size_t{target_.width} * 4;
    scale_into(canvas_.data(), canvas_stride);
    convert(format_, canvas_.data(), canvas_stride, target_, planes);
}

}  // namespace kova::pipewire
