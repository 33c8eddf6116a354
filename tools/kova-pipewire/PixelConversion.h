// Writes a BGRA picture into each pixel layout the PipeWire node offers.
//
// Threading: plain functions on caller-owned memory; safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kova::pipewire {

enum class PixelFormat {
    BGRA,  // the camera's own layout
    BGRx,  // the same bytes with alpha ignored, for consumers that take no alpha
    YUY2,  // packed 4:2:2, the layout webcams (and so browsers) handle everywhere
};

const char* pixel_format_name(PixelFormat format);

// Bytes per row of a tightly packed picture `width` pixels wide.
std::size_t packed_stride(PixelFormat format, std::size_t width);

// Copies (BGRA, BGRx) or converts (YUY2) a width × height BGRA picture into `dst`, reading each
// source byte once. YUY2 uses BT.601 limited range with chroma taken from the average of each pixel
// pair; `width` must be even for it.
void write_frame(PixelFormat format, const std::uint8_t* src, std::size_t src_stride,
                 std::size_t width, std::size_t height, std::uint8_t* dst, std::size_t dst_stride);

}  // namespace kova::pipewire
