// Png: writes a BGRA picture to a PNG file.
//
// Threading: reentrant.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kova::tool {

// Writes the `width` × `height` BGRA picture whose rows are `stride` bytes apart to `path` as an
// 8-bit RGBA PNG. Returns an empty string, or why it failed.
std::string writePng(const std::string& path, const std::uint8_t* pixels, std::size_t width,
                     std::size_t height, std::size_t stride);

}  // namespace kova::tool
