// Turns the camera's BGRA pictures into each pixel layout and size the PipeWire node offers.
//
// Threading: the free functions are safe from any thread; a FrameConverter is used by one thread
// at a time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kova::pipewire {

enum class PixelFormat {
    BGRA,  // the camera's own layout
    BGRx,  // the same bytes with alpha ignored, for consumers that take no alpha
    YUY2,  // packed 4:2:2, the layout webcams (and so browsers) handle everywhere
    NV12,  // 4:2:0, luma plane then interleaved chroma: what hardware encoders take
    I420,  // 4:2:0, three planes: what software encoders take
};
inline constexpr std::array kPixelFormats = {
    PixelFormat::BGRA, PixelFormat::BGRx, PixelFormat::YUY2, PixelFormat::NV12, PixelFormat::I420};

const char* pixel_format_name(PixelFormat format);

struct Size {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    bool operator==(const Size&) const = default;
};

struct Rect {
    std::uint32_t x = 0;
    std::uint32_t y = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    bool operator==(const Rect&) const = default;
};

// Where a picture of `source` size goes in a frame of `target` size: as large as fits with its
// aspect kept, centred, on even coordinates so that 4:2:x chroma splits it cleanly.
Rect fit_picture(Size source, Size target);

struct PlaneLayout {
    std::size_t stride = 0;
    std::size_t size = 0;
};
// The planes of a tightly packed frame: one for BGRA, BGRx and YUY2, two for NV12, three for
// I420. `size` must have even sides.
std::vector<PlaneLayout> plane_layouts(PixelFormat format, Size size);

struct Plane {
    std::uint8_t* data = nullptr;
    std::size_t stride = 0;
};

// Writes BGRA pictures of one size as frames of one format and size. YUV layouts are BT.601
// limited range. A picture of another aspect is scaled to fit and framed by black bars.
class FrameConverter {
  public:
    FrameConverter(PixelFormat format, Size source, Size target);

    // `planes` holds one entry per plane_layouts() entry, each at least that large.
    void write(const std::uint8_t* src, std::size_t src_stride, std::span<const Plane> planes);

    PixelFormat format() const { return format_; }
    Size target() const { return target_; }
    bool scales() const { return source_ != target_; }

  private:
    PixelFormat format_;
    Size source_;
    Size target_;
    Rect picture_;
    // For scaled YUV frames: BGRA at the target size, bars painted once, the picture scaled into
    // it before the one conversion of the whole frame.
    std::vector<std::uint8_t> canvas_;
};

}  // namespace kova::pipewire
