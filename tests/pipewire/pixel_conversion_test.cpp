// Tests of the layouts, colour conversions, scaling and frame pacing behind the PipeWire node.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <string>
#include <vector>

#include "FramePacer.h"
#include "PixelConversion.h"

namespace kova::pipewire {
namespace {

// B, G, R, A of a BGRA or BGRx pixel; Y, U, V, 0 of a pixel of the YUV layouts.
using Colour = std::array<int, 4>;

bool is_yuv(PixelFormat format) {
    return format != PixelFormat::BGRA && format != PixelFormat::BGRx;
}

// At most `first` levels apart in the first component, `others` in the rest.
bool near(const Colour& got, const Colour& want, int first, int others) {
    for (std::size_t i = 0; i < got.size(); ++i) {
        if (std::abs(got[i] - want[i]) > (i == 0 ? first : others)) return false;
    }
    return true;
}

// A picture of one colour, each row followed by padding that must not be read.
std::vector<std::uint8_t> uniform(Size size, std::size_t stride, const Colour& bgra) {
    std::vector<std::uint8_t> pixels(stride * size.height, 0xEE);
    for (std::size_t y = 0; y < size.height; ++y) {
        for (std::size_t x = 0; x < size.width * 4; ++x) pixels[y * stride + x] = bgra[x % 4];
    }
    return pixels;
}

// A converted frame in tightly packed planes, filled with garbage before, and its pixels.
struct Frame {
    Frame(PixelFormat format, Size size) : format(format), layouts(plane_layouts(format, size)) {
        for (const auto& layout : layouts) planes.emplace_back(layout.size, 0xAB);
        for (std::size_t i = 0; i < planes.size(); ++i) {
            views.push_back({planes[i].data(), layouts[i].stride});
        }
    }
    Colour at(std::size_t x, std::size_t y) const {
        const auto byte = [&](std::size_t plane, std::size_t row, std::size_t column) {
            return int(planes[plane][row * layouts[plane].stride + column]);
        };
        const std::size_t pair = x & ~std::size_t{1};
        switch (format) {
            case PixelFormat::YUY2:  // Y0 U Y1 V
                return {byte(0, y, x * 2), byte(0, y, pair * 2 + 1), byte(0, y, pair * 2 + 3), 0};
            case PixelFormat::NV12:
                return {byte(0, y, x), byte(1, y / 2, pair), byte(1, y / 2, pair + 1), 0};
            case PixelFormat::I420:
                return {byte(0, y, x), byte(1, y / 2, x / 2), byte(2, y / 2, x / 2), 0};
            default:
                return {byte(0, y, x * 4), byte(0, y, x * 4 + 1), byte(0, y, x * 4 + 2),
                        byte(0, y, x * 4 + 3)};
        }
    }
    PixelFormat format;
    std::vector<PlaneLayout> layouts;
    std::vector<std::vector<std::uint8_t>> planes;
    std::vector<Plane> views;
};

// Unscaled, from a source with padded rows: BGRA and BGRx are the source's bytes; the YUV layouts
// carry BT.601 limited range (black 16/128/128, white 235/128/128, red 82/90/240, blue
// 41/240/110, and the placeholder's background and panels). libyuv rounds chroma down where the
// textbook rounds to nearest: one step apart at most.
TEST(PixelConversion, EveryLayoutCarriesEachColour) {
    const std::pair<Colour, Colour> cases[] = {
        {{0, 0, 0, 255}, {16, 128, 128, 0}},
        {{255, 255, 255, 255}, {235, 128, 128, 0}},
        {{0, 0, 255, 255}, {82, 90, 240, 0}},
        {{255, 0, 0, 255}, {41, 240, 110, 0}},
        {{0x1E, 0x1C, 0x1C, 0xFF}, {40, 129, 128, 0}},
        {{0x2E, 0x2C, 0x2C, 0x80}, {54, 129, 128, 0}},
    };
    const Size size{4, 2};
    for (PixelFormat format : kPixelFormats) {
        for (const auto& [bgra, yuv] : cases) {
            const auto src = uniform(size, 20, bgra);
            Frame frame(format, size);
            FrameConverter(format, size, size).write(src.data(), 20, frame.views);
            for (std::size_t y = 0; y < size.height; ++y) {
                for (std::size_t x = 0; x < size.width; ++x) {
                    EXPECT_TRUE(is_yuv(format) ? near(frame.at(x, y), yuv, 0, 1)
                                               : frame.at(x, y) == bgra)
                        << pixel_format_name(format) << " at " << x << "," << y << ": "
                        << ::testing::PrintToString(frame.at(x, y)) << " from "
                        << ::testing::PrintToString(bgra);
                }
            }
        }
    }
}

// The camera's 800 × 960 picture in each smaller or larger size offered: centred, its aspect
// kept, from an even column (a chroma pair is never split), in its colour with black either
// side, in every layout, whatever the buffer held before. libyuv's scaling filters weigh
// neighbours by 127/128 in all, which may cost a bright pixel two levels.
TEST(PixelConversion, ScaledFramesKeepTheColourBetweenBlackBars) {
    const Size source{800, 960};
    const auto src = uniform(source, source.width * 4, {0, 0, 255, 255});
    struct Case {
        Size target;
        std::size_t left, right;  // the picture's columns
    };
    const Case cases[] = {{{1280, 720}, 340, 940},
                          {{1920, 1080}, 510, 1410},
                          {{640, 480}, 120, 520},
                          {{640, 360}, 170, 470}};
    for (const Case& c : cases) {
        for (PixelFormat format : kPixelFormats) {
            const Colour red = is_yuv(format) ? Colour{82, 90, 240, 0} : Colour{0, 0, 255, 255};
            const Colour black = is_yuv(format) ? Colour{16, 128, 128, 0} : Colour{0, 0, 0, 255};
            FrameConverter converter(format, source, c.target);
            Frame frame(format, c.target);
            for (int round = 0; round < 2; ++round) converter.write(src.data(), 3200, frame.views);
            for (std::size_t y : {0u, c.target.height / 2, c.target.height - 1}) {
                for (std::size_t x :
                     {std::size_t{0}, c.left - 2, c.left - 1, c.left, c.left + 1, c.right - 2,
                      c.right - 1, c.right, c.right + 1, std::size_t{c.target.width} - 1}) {
                    const bool inside = x >= c.left && x < c.right;
                    EXPECT_TRUE(inside ? near(frame.at(x, y), red, 2, 2) : frame.at(x, y) == black)
                        << pixel_format_name(format) << " " << c.target.width << "x"
                        << c.target.height << " at " << x << "," << y << ": "
                        << ::testing::PrintToString(frame.at(x, y));
                }
            }
        }
    }
}

// Frames 1/59.83 s apart, steady or with up to 2 ms of jitter, thinned to each rate a consumer
// may agree on. Jitter may turn two even gaps into a shorter and a longer one, never lose a frame.
TEST(FramePacer, ThinsFramesEvenlyToTheAgreedRate) {
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
            FramePacer pacer({5983, 100}, c.wanted);
            std::vector<std::uint64_t> sent;
            for (std::uint64_t i = 0; i < 600; ++i) {
                const std::uint64_t jitter = jittery ? (i * 7919 % 5) * 500'000 : 0;
                if (pacer.take(1'000'000'000 + i * interval + jitter)) sent.push_back(i);
            }
            const std::string name = std::to_string(c.wanted.num) + "/" +
                                     std::to_string(c.wanted.denom) + (jittery ? " jittery" : "");
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

// After a pause of a second the next frame goes out and the one after it is thinned again; after
// the source restarts with an earlier clock, frames flow at once rather than after 73 ticks.
TEST(FramePacer, StartsAfreshAfterAPauseOrAClockThatWentBack) {
    FramePacer pacer({60, 1}, {30, 1});
    const std::uint64_t tick = 1'000'000'000 / 60;
    const std::pair<std::uint64_t, bool> frames[] = {
        {10, true}, {11, false}, {71, true}, {72, false},
        {73, true}, {2, true},   {3, false}, {4, true},
    };
    for (const auto& [at, taken] : frames) EXPECT_EQ(pacer.take(at * tick), taken) << "tick " << at;
}

}  // namespace
}  // namespace kova::pipewire
