// A caller's numpy picture checked as a Kova frame, and its conversion into a BGRA buffer.
#pragma once

#include <pybind11/numpy.h>

#include <cstdint>
#include <optional>
#include <string>

namespace kova::python {

// The picture as checked under the GIL, for a conversion made without it. `pixels` keeps alive
// the array the conversion reads (the caller's own, or a packed copy of it); it must be released
// with the GIL held.
struct SourcePicture {
    enum class Layout { BGRA, RGBA, RGB, BGR };

    pybind11::array pixels;
    const std::uint8_t* rows;
    std::ptrdiff_t rowStride;
    Layout layout;
};

// Throws TypeError or ValueError for anything but a (960, 800, 3) or (960, 800, 4) uint8 array
// in an order that fits its channels. A picture whose pixels or channels are not packed (rows
// may be padded or run upwards) is copied once into a packed array.
SourcePicture sourcePictureOf(const pybind11::array& frame,
                              const std::optional<std::string>& order);

// The picture into a frame buffer of kFrameStride-byte rows. Needs no GIL.
void convertToBgra(const SourcePicture& source, std::uint8_t* target);

}  // namespace kova::python
