// Row copies and the BGRA to YUY2 conversion behind the PipeWire node.
#include "PixelConversion.h"

#include <cstring>

namespace kova::pipewire {
namespace {

// BT.601 limited range in 8-bit fixed point; C++20 makes >> of a negative value an arithmetic
// shift, which the chroma terms rely on.
std::uint8_t luma(int r, int g, int b) {
    return static_cast<std::uint8_t>(((66 * r + 129 * g + 25 * b + 128) >> 8) + 16);
}
std::uint8_t chroma_blue(int r, int g, int b) {
    return static_cast<std::uint8_t>(((-38 * r - 74 * g + 112 * b + 128) >> 8) + 128);
}
std::uint8_t chroma_red(int r, int g, int b) {
    return static_cast<std::uint8_t>(((112 * r - 94 * g - 18 * b + 128) >> 8) + 128);
}

void convert_row_to_yuy2(const std::uint8_t* src, std::size_t width, std::uint8_t* dst) {
    for (std::size_t x = 0; x + 1 < width; x += 2, src += 8, dst += 4) {
        const int b0 = src[0], g0 = src[1], r0 = src[2];
        const int b1 = src[4], g1 = src[5], r1 = src[6];
        const int r = (r0 + r1 + 1) >> 1, g = (g0 + g1 + 1) >> 1, b = (b0 + b1 + 1) >> 1;
        dst[0] = luma(r0, g0, b0);
        dst[1] = chroma_blue(r, g, b);
        dst[2] = luma(r1, g1, b1);
        dst[3] = chroma_red(r, g, b);
    }
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
    }
    return "?";
}

std::size_t packed_stride(PixelFormat format, std::size_t width) {
    return format == PixelFormat::YUY2 ? width * 2 : width * 4;
}

void write_frame(PixelFormat format, const std::uint8_t* src, std::size_t src_stride,
                 std::size_t width, std::size_t height, std::uint8_t* dst, std::size_t dst_stride) {
    if (format == PixelFormat::YUY2) {
        for (std::size_t y = 0; y < height; ++y) {
            convert_row_to_yuy2(src + y * src_stride, width, dst + y * dst_stride);
        }
        return;
    }
    const std::size_t row_bytes = width * 4;
    if (src_stride == row_bytes && dst_stride == row_bytes) {
        std::memcpy(dst, src, row_bytes * height);
        return;
    }
    for (std::size_t y = 0; y < height; ++y) {
        std::memcpy(dst + y * dst_stride, src + y * src_stride, row_bytes);
    }
}

}  // namespace kova::pipewire
