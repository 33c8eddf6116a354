// Patterns: painting the generated pictures, one rectangle fill at a time.
#include "Patterns.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "kova/kova.h"

namespace kova::tool {
namespace {

struct Colour {
    std::uint8_t blue, green, red;
};

constexpr std::size_t kWidth = kFrameWidth;
constexpr std::size_t kHeight = kFrameHeight;

class Canvas {
  public:
    Canvas(std::uint8_t* pixels, std::size_t stride) : pixels_(pixels), stride_(stride) {}

    // Paints the first row of the rectangle, then copies it: whole frames stay cheap to paint.
    void fill(std::size_t x, std::size_t y, std::size_t width, std::size_t height, Colour colour) {
        if (x >= kWidth || y >= kHeight) return;
        width = std::min(width, kWidth - x);
        height = std::min(height, kHeight - y);
        for (std::size_t column = x; column < x + width; ++column) put(column, y, colour);
        const std::uint8_t* first = pixels_ + y * stride_ + x * 4;
        for (std::size_t row = y + 1; row < y + height; ++row) {
            std::memcpy(pixels_ + row * stride_ + x * 4, first, width * 4);
        }
    }

    void put(std::size_t x, std::size_t y, Colour colour) {
        std::uint8_t* pixel = pixels_ + y * stride_ + x * 4;
        pixel[0] = colour.blue;
        pixel[1] = colour.green;
        pixel[2] = colour.red;
        pixel[3] = 0xff;
    }

  private:
    std::uint8_t* pixels_;
    std::size_t stride_;
};

void paintBars(Canvas& canvas, std::uint64_t index) {
    // White, yellow, cyan, green, magenta, red, blue, black at 75 %.
    constexpr std::array<Colour, 8> kBars{{{191, 191, 191},
                                           {0, 191, 191},
                                           {191, 191, 0},
                                           {0, 191, 0},
                                           {191, 0, 191},
                                           {0, 0, 191},
                                           {191, 0, 0},
                                           {0, 0, 0}}};
    constexpr std::size_t kBarWidth = kWidth / kBars.size();
    for (std::size_t bar = 0; bar < kBars.size(); ++bar) {
        canvas.fill(bar * kBarWidth, 0, kBarWidth, kHeight, kBars[bar]);
    }
    // A square that crosses the bottom of the picture, so that motion shows.
    constexpr std::size_t kSquare = 40;
    const std::size_t x = std::size_t(index * 8 % (kWidth - kSquare));
    canvas.fill(x, kHeight - 2 * kSquare, kSquare, kSquare, Colour{255, 255, 255});
}

void paintGradient(Canvas& canvas, std::uint64_t index) {
    const std::size_t shift = std::size_t(index * 4 % 256);
    for (std::size_t y = 0; y < kHeight; ++y) {
        const auto green = std::uint8_t(y * 255 / (kHeight - 1));
        for (std::size_t x = 0; x < kWidth; ++x) {
            const auto blue = std::uint8_t((x * 255 / (kWidth - 1) + shift) % 256);
            canvas.put(x, y, Colour{blue, green, std::uint8_t(255 - blue)});
        }
    }
}

// Seven-segment digits: bit 0 the top segment, then clockwise, bit 6 the middle one.
constexpr std::array<std::uint8_t, 10> kSegments{0x3F, 0x06, 0x5B, 0x4F, 0x66,
                                                 0x6D, 0x7D, 0x07, 0x7F, 0x6F};

void paintDigit(Canvas& canvas, int digit, std::size_t x, std::size_t y, Colour colour) {
    constexpr std::size_t kDigitWidth = 60, kDigitHeight = 120, kThickness = 12;
    constexpr std::size_t kHalf = kDigitHeight / 2;
    const std::uint8_t segments = kSegments[std::size_t(digit)];
    auto on = [segments](int bit) { return (segments & (1 << bit)) != 0; };
    if (on(0)) canvas.fill(x, y, kDigitWidth, kThickness, colour);
    if (on(1)) canvas.fill(x + kDigitWidth - kThickness, y, kThickness, kHalf, colour);
    if (on(2)) canvas.fill(x + kDigitWidth - kThickness, y + kHalf, kThickness, kHalf, colour);
    if (on(3)) canvas.fill(x, y + kDigitHeight - kThickness, kDigitWidth, kThickness, colour);
    if (on(4)) canvas.fill(x, y + kHalf, kThickness, kHalf, colour);
    if (on(5)) canvas.fill(x, y, kThickness, kHalf, colour);
    if (on(6)) canvas.fill(x, y + kHalf - kThickness / 2, kDigitWidth, kThickness, colour);
}

void paintCounter(Canvas& canvas, std::uint64_t index) {
    canvas.fill(0, 0, kWidth, kHeight, Colour{40, 24, 16});
    const std::string digits = std::to_string(index);
    constexpr std::size_t kAdvance = 80;
    const std::size_t width = digits.size() * kAdvance;
    std::size_t x = width < kWidth ? (kWidth - width) / 2 : 0;
    for (const char digit : digits) {
        paintDigit(canvas, digit - '0', x + 10, kHeight / 2 - 60, Colour{240, 240, 240});
        x += kAdvance;
    }
    canvas.put(0, 0,
               Colour{std::uint8_t(index), std::uint8_t(index >> 8), std::uint8_t(index >> 16)});
}

}  // namespace

std::optional<Pattern> patternNamed(std::string_view name) {
    if (name == "bars") return Pattern::Bars;
    if (name == "gradient") return Pattern::Gradient;
    if (name == "counter") return Pattern::Counter;
    return std::nullopt;
}

void paintPattern(Pattern pattern, std::uint64_t index, std::uint8_t* pixels, std::size_t stride) {
    Canvas canvas(pixels, stride);
    switch (pattern) {
        case Pattern::Bars:
            paintBars(canvas, index);
            break;
        case Pattern::Gradient:
            paintGradient(canvas, index);
            break;
        case Pattern::Counter:
            paintCounter(canvas, index);
            break;
    }
}

}  // namespace kova::tool
