// Image: pictures in and out of kova: a PNG or JPEG still fitted into a frame, and a frame
// written as a PNG or JPEG.
//
// Threading: reentrant.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kova::tool {

// A picture file's whole contents: `path`, or standard input for "-". Throws CommandFailure.
std::vector<std::uint8_t> readWholeFile(const std::string& path);

// Decodes a PNG or JPEG (told apart by their first bytes) and fits it, scaled with its aspect
// kept, centred into a `width` x `height` BGRA frame; the rest is black. Transparent parts are
// laid over black, so every pixel is opaque. Throws CommandFailure naming `name`.
std::vector<std::uint8_t> fitStill(const std::vector<std::uint8_t>& file, const std::string& name,
                                   std::size_t width, std::size_t height);

// The formats a snapshot is written in, by the file's name.
enum class PictureFormat { Png, Jpeg };
// .png, or .jpg/.jpeg (any case); "-" is a PNG on standard output; anything else nothing.
std::optional<PictureFormat> pictureFormatOf(const std::string& path);

// Writes the BGRA picture whose rows are `stride` bytes apart to `path` ("-": standard output)
// in `format`. Returns an empty string, or why it failed.
std::string writePicture(const std::string& path, PictureFormat format, const std::uint8_t* pixels,
                         std::size_t width, std::size_t height, std::size_t stride);

}  // namespace kova::tool
