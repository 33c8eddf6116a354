// Checks a numpy picture and converts it to the camera's BGRA with libyuv.
#include "FrameConversion.h"

#include <libyuv/convert_argb.h>
#include <libyuv/planar_functions.h>

#include <utility>

#include "kova/kova.h"

namespace py = pybind11;

namespace kova::python {
namespace {

constexpr py::ssize_t kHeight = py::ssize_t(kFrameHeight);
constexpr py::ssize_t kWidth = py::ssize_t(kFrameWidth);

SourcePicture::Layout layoutOf(py::ssize_t channels, const std::optional<std::string>& order) {
    using Layout = SourcePicture::Layout;
    const std::string name = order.value_or(channels == 4 ? "bgra" : "rgb");
    if (channels == 3 && name == "rgb") return Layout::RGB;
    if (channels == 3 && name == "bgr") return Layout::BGR;
    if (channels == 4 && name == "bgra") return Layout::BGRA;
    if (channels == 4 && name == "rgba") return Layout::RGBA;
    throw py::value_error("order \"" + name + "\" does not fit a frame of " +
                          std::to_string(channels) +
                          " channels (3: \"rgb\" or \"bgr\"; 4: \"bgra\" or \"rgba\")");
}

}  // namespace

SourcePicture sourcePictureOf(const py::array& frame, const std::optional<std::string>& order) {
    if (!py::isinstance<py::array_t<std::uint8_t>>(frame)) {
        throw py::type_error("a frame is a uint8 array, not " +
                             std::string(py::str(frame.dtype())));
    }
    if (frame.ndim() != 3 || frame.shape(0) != kHeight || frame.shape(1) != kWidth ||
        (frame.shape(2) != 3 && frame.shape(2) != 4)) {
        std::string shape;
        for (py::ssize_t i = 0; i < frame.ndim(); ++i) {
            shape += (i ? ", " : "") + std::to_string(frame.shape(i));
        }
        throw py::value_error("a frame is (960, 800, 4) BGRA or (960, 800, 3) RGB/BGR, not (" +
                              shape + ")");
    }
    const py::ssize_t channels = frame.shape(2);
    const auto layout = layoutOf(channels, order);
    // libyuv takes any row stride that fits an int, upwards too, but only packed rows; anything
    // else (a channel or column slice, a transposed array) is packed once, by numpy.
    const bool packedRows = frame.strides(2) == 1 && frame.strides(1) == channels &&
                            std::in_range<int>(frame.strides(0));
    const py::array pixels =
        packedRows ? frame
                   : py::array(py::module_::import("numpy").attr("ascontiguousarray")(frame));
    return SourcePicture{pixels, static_cast<const std::uint8_t*>(pixels.data()), pixels.strides(0),
                         layout};
}

void convertToBgra(const SourcePicture& source, std::uint8_t* target) {
    using Layout = SourcePicture::Layout;
    // libyuv names formats by the little-endian word: its ARGB is bytes B, G, R, A; ABGR is
    // R, G, B, A; RGB24 is B, G, R; RAW is R, G, B.
    const auto in = source.rows;
    const int inStride = static_cast<int>(source.rowStride);
    const int outStride = static_cast<int>(kFrameStride);
    const int width = static_cast<int>(kWidth), height = static_cast<int>(kHeight);
    switch (source.layout) {
        case Layout::BGRA:
            libyuv::ARGBCopy(in, inStride, target, outStride, width, height);
            break;
        case Layout::RGBA:
            libyuv::ABGRToARGB(in, inStride, target, outStride, width, height);
            break;
        case Layout::RGB:
            libyuv::RAWToARGB(in, inStride, target, outStride, width, height);
            break;
        case Layout::BGR:
            libyuv::RGB24ToARGB(in, inStride, target, outStride, width, height);
            break;
    }
}

}  // namespace kova::python
