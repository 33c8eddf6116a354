// Patterns: the generated pictures kova push sends (colour bars, a moving gradient, a counter).
//
// Threading: pure functions; reentrant.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace kova::tool {

enum class Pattern { Bars, Gradient, Counter };

// "bars", "gradient" or "counter".
std::optional<Pattern> patternNamed(std::string_view name);

// Paints frame `index` of `pattern` into an 800 × 960 BGRA picture whose rows are `stride`
// bytes apart. Every pattern moves from frame to frame. The counter pattern shows the frame
// number in large digits and also carries it, for programs, in its first pixel: blue, green
// and red hold its low, middle and high byte.
void paintPattern(Pattern pattern, std::uint64_t index, std::uint8_t* pixels, std::size_t stride);

}  // namespace kova::tool
