// Tests of the layouts, colour conversions, scaling and frame pacing behind the PipeWire node.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "FramePacer.h"
#include "PixelConversion.h"

namespace kova::pipewire {
namespace {

using Bgra = std::array<std::uint8_t, 4>;
struct Yuv {
    std::uint8_t y, u, v;
    bool operator==(const Yuv&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Yuv& c) {
    return out << int(c.y) << "/" << int(c.u) << "/" << int(c.v);
}

std::vector<std::uint8_t> uniform(Size size, std::size_t stride, Bgra colour) {
    std::vector<std::uint8_t> pixels(stride * size.height, 0xEE);
    for (std::size_t y = 0; y < size.height; ++y) {
        for (std::size_t x = 0; x < size.width; ++x) {
            std::copy(colour.begin(), colour.end(), pixels.begin() + y * stride + x * 4);
        }
    }
    return pixels;
}

// A converted frame in tightly packed planes, and the colour it holds at a pixel.
struct Frame {
    Frame(PixelFormat format, Size size) : format(format), layouts(plane_layouts(format, size)) {
        for (const auto& layout : layouts) planes.emplace_back(layout.size, 0xAB);
    }
    std::vector<Plane> views() {
        std::vector<Plane> views;
        for (std::size_t i = 0; i < planes.size(); ++i) {
            views.push_back({planes[i].data(), layouts[i].stride});
        }
        return views;
    }
    Yuv yuv(std::size_t x, std::size_t y) const {
        switch (format) {
            case PixelFormat::YUY2: {
                const std::uint8_t* pair = &planes[0][y * layouts[0].stride + (x & ~1u) * 2];
                return {pair[(x & 1) * 2], pair[1], pair[3]};
            }
            case PixelFormat::NV12: {
                const std::uint8_t* uv = &planes[1][y / 2 * layouts[1].stride + (x & ~1u)];
                return {planes[0][y * layouts[0].stride + x], uv[0], uv[1]};
            }
            case PixelFormat::I420: {
                const std::size_t chroma = y / 2 * layouts[1].stride + x / 2;
                return {planes[0][y * layouts[0].stride + x], planes[1][chroma], planes[2][chroma]};
            }
            default:
                return {};
        }
    }
    Bgra bgra(std::size_t x, std::size_t y) const {
        const std::uint8_t* pixel = &planes[0][y * layouts[0].stride + x * 4];
        return {pixel[0], pixel[1], pixel[2], pixel[3]};
    }
    PixelFormat format;
    std::vector<PlaneLayout> layouts;
    std::vector<std::vector<std::uint8_t>> planes;
};

bool close(int a, int b, int tolerance) {
    return a - b <= tolerance && b - a <= tolerance;
}
// libyuv rounds chroma down where the textbook rounds to nearest: one step apart at most. Its
// scaling filters weigh neighbours by 127/128 in all, which may cost a bright pixel two levels.
bool near(Yuv got, Yuv expected, int luma_tolerance = 0, int chroma_tolerance = 1) {
    return close(got.y, expected.y, luma_tolerance) && close(got.u, expected.u, chroma_tolerance) &&
           close(got.v, expected.v, chroma_tolerance);
}
bool near(Bgra got, Bgra expected) {
    for (std::size_t i = 0; i < 4; ++i) {
        if (!close(got[i], expected[i], 2)) return false;
    }
    return true;
}
std::string describe(const Bgra& c) {
    return std::to_string(c[0]) + "," + std::to_string(c[1]) + "," + std::to_string(c[2]) + "," +
           std::to_string(c[3]);
}

constexpr std::array kYuvFormats = {PixelFormat::YUY2, PixelFormat::NV12, PixelFormat::I420};

TEST(PixelConversion, PicturesFitCentredWithTheirAspectKeptOnEvenCoordinates) {
    struct Case {
        Size source, target;
        Rect expected;
    };
    const Case cases[] = {
        {{800, 960}, {800, 960}, {0, 0, 800, 960}},
        {{800, 960}, {1280, 720}, {340, 0, 600, 720}},
        {{800, 960}, {1920, 1080}, {510, 0, 900, 1080}},
        {{800, 960}, {640, 480}, {120, 0, 400, 480}},
        {{800, 960}, {640, 360}, {170, 0, 300, 360}},
        // Wider than the frame: bars above and below; 450 rows leave 255 each side, made even.
        {{1280, 720}, {800, 960}, {0, 254, 800, 450}},
        // 100 × 216/240 = 90 wide; the 11 spare columns put it at 5, made even.
        {{100, 240}, {101, 216}, {4, 0, 90, 216}},
        {{100, 240}, {99, 216}, {4, 0, 90, 216}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(fit_picture(c.source, c.target), c.expected)
            << c.source.width << "x" << c.source.height << " in " << c.target.width << "x"
            << c.target.height;
    }
}

// BT.601 limited range: black 16/128/128, white 235/128/128, red 82/90/240, blue 41/240/110, and
// the camera's placeholder background and panels.
TEST(PixelConversion, YuvLayoutsCarryBt601LimitedRangeColours) {
    const std::pair<Bgra, Yuv> cases[] = {
        {{0, 0, 0, 255}, {16, 128, 128}},           {{255, 255, 255, 255}, {235, 128, 128}},
        {{0, 0, 255, 255}, {82, 90, 240}},          {{255, 0, 0, 255}, {41, 240, 110}},
        {{0x1E, 0x1C, 0x1C, 0xFF}, {40, 129, 128}}, {{0x2E, 0x2C, 0x2C, 0xFF}, {54, 129, 128}},
    };
    const Size size{4, 2};
    for (PixelFormat format : kYuvFormats) {
        for (const auto& [colour, expected] : cases) {
            const auto src = uniform(size, 20, colour);
            Frame frame(format, size);
            FrameConverter(format, size, size).write(src.data(), 20, frame.views());
            for (std::size_t x = 0; x < size.width; ++x) {
                EXPECT_TRUE(near(frame.yuv(x, 1), expected))
                    << frame.yuv(x, 1) << pixel_format_name(format) << " pixel " << x << " of "
                    << int(colour[2]) << "," << int(colour[1]) << "," << int(colour[0]);
            }
        }
    }
}

TEST(PixelConversion, CopiesHonourBothStridesAndLeaveRowPaddingAlone) {
    const std::size_t width = 3, height = 2, src_stride = 16, dst_stride = 20;
    std::vector<std::uint8_t> src(src_stride * height);
    for (std::size_t i = 0; i < src.size(); ++i) src[i] = static_cast<std::uint8_t>(i);
    for (PixelFormat format : {PixelFormat::BGRA, PixelFormat::BGRx}) {
        std::vector<std::uint8_t> dst(dst_stride * height, 0xAB);
        const std::array<Plane, 1> planes = {Plane{dst.data(), dst_stride}};
        FrameConverter(format, {width, height}, {width, height})
            .write(src.data(), src_stride, planes);
        for (std::size_t y = 0; y < height; ++y) {
            for (std::size_t i = 0; i < dst_stride; ++i) {
                const std::uint8_t expected = i < width * 4 ? src[y * src_stride + i] : 0xAB;
                EXPECT_EQ(dst[y * dst_stride + i], expected)
                    << pixel_format_name(format) << " row " << y << " byte " << i;
            }
        }
    }
}

// The camera's 800 × 960 picture in a 1280 × 720 frame: 600 columns from 340, black either side,
// in every layout, whatever the buffer held before.
TEST(PixelConversion, ScaledFramesKeepTheColourBetweenBlackBars) {
    const Size source{800, 960};
    const Size target{1280, 720};
    const Bgra red = {0, 0, 255, 255};
    const auto src = uniform(source, source.width * 4, red);
    const std::size_t columns[] = {0, 338, 339, 340, 341, 640, 938, 939, 940, 941, 1279};
    const auto inside = [](std::size_t x) { return x >= 340 && x < 940; };
    const Bgra black = {0, 0, 0, 255};
    const Yuv yuv_red{82, 90, 240};
    const Yuv yuv_black{16, 128, 128};
    for (PixelFormat format : kPixelFormats) {
        FrameConverter converter(format, source, target);
        EXPECT_TRUE(converter.scales());
        Frame frame(format, target);
        for (int round = 0; round < 2; ++round) converter.write(src.data(), 3200, frame.views());
        for (std::size_t y : {std::size_t{0}, std::size_t{359}, std::size_t{719}}) {
            for (std::size_t x : columns) {
                if (format == PixelFormat::BGRA || format == PixelFormat::BGRx) {
                    EXPECT_TRUE(inside(x) ? near(frame.bgra(x, y), red) : frame.bgra(x, y) == black)
                        << describe(frame.bgra(x, y)) << " " << pixel_format_name(format) << " at "
                        << x << "," << y;
                } else {
                    EXPECT_TRUE(inside(x) ? near(frame.yuv(x, y), yuv_red, 2, 2)
                                          : frame.yuv(x, y) == yuv_black)
                        << frame.yuv(x, y) << pixel_format_name(format) << " at " << x << "," << y;
                }
            }
        }
    }
}

// Frames 1/59.83 s apart, steady or with up to 2 ms of jitter, thinned to each rate a consumer
// may agree on. Jitter may turn two even gaps into a shorter and a longer one, never lose a frame.
TEST(FramePacer, ThinsFramesEvenlyToTheAgreedRate) {
    const Fraction camera{5983, 100};
    const std::uint64_t interval = 1'000'000'000ull * 100 / 5983;
    struct Case {
        Fraction wanted;
        std::size_t expected_of_600;
        std::uint64_t max_gap;  // in source intervals, when steady
    };
    const Case cases[] = {
        {{5983, 100}, 600, 1}, {{60, 1}, 600, 1}, {{59, 1}, 592, 2},
        {{30, 1}, 301, 2},     {{15, 1}, 151, 4}, {{5, 1}, 51, 12},
    };
    for (const Case& c : cases) {
        for (const bool jittery : {false, true}) {
            FramePacer pacer(camera, c.wanted);
            std::vector<std::uint64_t> sent;
            for (std::uint64_t i = 0; i < 600; ++i) {
                const std::uint64_t jitter = jittery ? (i * 7919 % 5) * 500'000 : 0;
                if (pacer.take(1'000'000'000 + i * interval + jitter)) sent.push_back(i);
            }
            const std::string name = std::to_string(c.wanted.num) + "/" +
                                     std::to_string(c.wanted.denom) +
                                     (jittery ? " jittery" : " steady");
            EXPECT_NEAR(double(sent.size()), double(c.expected_of_600), 1.0) << name;
            ASSERT_FALSE(sent.empty());
            EXPECT_EQ(sent.front(), 0u) << name << ": the first frame waits for nothing";
            const std::uint64_t max_gap = c.max_gap + (jittery && c.max_gap > 1 ? 1 : 0);
            for (std::size_t k = 1; k < sent.size(); ++k) {
                EXPECT_LE(sent[k] - sent[k - 1], max_gap) << name << " after " << sent[k - 1];
            }
        }
    }
}

TEST(FramePacer, StartsAfreshAfterAPauseOrAClockThatWentBack) {
    FramePacer pacer({60, 1}, {30, 1});
    const std::uint64_t tick = 1'000'000'000 / 60;
    EXPECT_TRUE(pacer.take(10 * tick));
    EXPECT_FALSE(pacer.take(11 * tick));
    // A pause of a second: the next frame goes out, and the one after it is thinned again.
    EXPECT_TRUE(pacer.take(71 * tick));
    EXPECT_FALSE(pacer.take(72 * tick));
    EXPECT_TRUE(pacer.take(73 * tick));
    // The source restarted with an earlier clock: frames flow at once rather than after 73 ticks.
    EXPECT_TRUE(pacer.take(2 * tick));
    EXPECT_FALSE(pacer.take(3 * tick));
    EXPECT_TRUE(pacer.take(4 * tick));
}

}  // namespace
}  // namespace kova::pipewire
