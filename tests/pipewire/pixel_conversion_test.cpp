// Tests of the copies and the YUY2 conversion behind the PipeWire node.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "PixelConversion.h"

namespace kova::pipewire {
namespace {

using Bgra = std::array<std::uint8_t, 4>;

std::vector<std::uint8_t> picture(std::size_t width, std::size_t height, std::size_t stride,
                                  const std::vector<Bgra>& row) {
    std::vector<std::uint8_t> pixels(stride * height, 0xEE);
    for (std::size_t y = 0; y < height; ++y) {
        for (std::size_t x = 0; x < width; ++x) {
            std::copy(row[x].begin(), row[x].end(), pixels.begin() + y * stride + x * 4);
        }
    }
    return pixels;
}

TEST(PixelConversion, PackedStrides) {
    EXPECT_EQ(packed_stride(PixelFormat::BGRA, 800), 3200u);
    EXPECT_EQ(packed_stride(PixelFormat::BGRx, 800), 3200u);
    EXPECT_EQ(packed_stride(PixelFormat::YUY2, 800), 1600u);
}

TEST(PixelConversion, CopiesHonourBothStridesAndLeaveRowPaddingAlone) {
    const std::size_t width = 3, height = 2, src_stride = 16, dst_stride = 20;
    std::vector<std::uint8_t> src(src_stride * height);
    for (std::size_t i = 0; i < src.size(); ++i) src[i] = static_cast<std::uint8_t>(i);
    for (PixelFormat format : {PixelFormat::BGRA, PixelFormat::BGRx}) {
        std::vector<std::uint8_t> dst(dst_stride * height, 0xAB);
        write_frame(format, src.data(), src_stride, width, height, dst.data(), dst_stride);
        for (std::size_t y = 0; y < height; ++y) {
            for (std::size_t i = 0; i < dst_stride; ++i) {
                const std::uint8_t expected = i < width * 4 ? src[y * src_stride + i] : 0xAB;
                EXPECT_EQ(dst[y * dst_stride + i], expected)
                    << pixel_format_name(format) << " row " << y << " byte " << i;
            }
        }
    }
}

TEST(PixelConversion, PackedPicturesAreCopiedWhole) {
    const std::size_t width = 4, height = 3, stride = width * 4;
    std::vector<std::uint8_t> src(stride * height);
    for (std::size_t i = 0; i < src.size(); ++i) src[i] = static_cast<std::uint8_t>(255 - i);
    std::vector<std::uint8_t> dst(src.size());
    write_frame(PixelFormat::BGRA, src.data(), stride, width, height, dst.data(), stride);
    EXPECT_EQ(dst, src);
}

// BT.601 limited range reference values: black 16/128/128, white 235/128/128, red 82/90/240.
TEST(PixelConversion, Yuy2MatchesBt601ReferenceColours) {
    struct Case {
        Bgra colour;
        std::array<std::uint8_t, 4> yuyv;
    };
    const Case cases[] = {
        {{0, 0, 0, 255}, {16, 128, 16, 128}},
        {{255, 255, 255, 255}, {235, 128, 235, 128}},
        {{0, 0, 255, 255}, {82, 90, 82, 240}},
        {{255, 0, 0, 255}, {41, 240, 41, 110}},
        // The camera's placeholder background and panels.
        {{0x1E, 0x1C, 0x1C, 0xFF}, {40, 129, 40, 128}},
        {{0x2E, 0x2C, 0x2C, 0xFF}, {54, 129, 54, 128}},
    };
    for (const Case& c : cases) {
        const auto src = picture(2, 1, 8, {c.colour, c.colour});
        std::array<std::uint8_t, 4> dst{};
        write_frame(PixelFormat::YUY2, src.data(), 8, 2, 1, dst.data(), 4);
        EXPECT_EQ(dst, c.yuyv) << int(c.colour[2]) << "," << int(c.colour[1]) << ","
                               << int(c.colour[0]);
    }
}

TEST(PixelConversion, Yuy2KeepsEachLumaAndAveragesChromaOverThePair) {
    // Red then blue: each keeps its own luma; chroma is that of their average (128, 0, 128).
    const auto src = picture(2, 1, 8, {{0, 0, 255, 255}, {255, 0, 0, 255}});
    std::array<std::uint8_t, 4> dst{};
    write_frame(PixelFormat::YUY2, src.data(), 8, 2, 1, dst.data(), 4);
    EXPECT_EQ(dst, (std::array<std::uint8_t, 4>{82, 165, 41, 175}));
}

TEST(PixelConversion, Yuy2WritesEveryRowAtItsStride) {
    const std::size_t width = 4, height = 3, src_stride = 20, dst_stride = 12;
    const auto src =
        picture(width, height, src_stride,
                {{0, 0, 0, 255}, {0, 0, 0, 255}, {255, 255, 255, 255}, {255, 255, 255, 255}});
    std::vector<std::uint8_t> dst(dst_stride * height, 0xAB);
    write_frame(PixelFormat::YUY2, src.data(), src_stride, width, height, dst.data(), dst_stride);
    for (std::size_t y = 0; y < height; ++y) {
        const std::vector<std::uint8_t> row(dst.begin() + y * dst_stride,
                                            dst.begin() + (y + 1) * dst_stride);
        EXPECT_EQ(row, (std::vector<std::uint8_t>{16, 128, 16, 128, 235, 128, 235, 128, 0xAB, 0xAB,
                                                  0xAB, 0xAB}))
            << "row " << y;
    }
}

}  // namespace
}  // namespace kova::pipewire
