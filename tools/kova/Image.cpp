// Image: PNG through libpng's simplified API, JPEG through libjpeg-turbo (BGRA in and out, no
// conversion pass of our own), scaling through libyuv.
#include "Image.h"

#include <png.h>
#include <unistd.h>

#include <strings.h>
#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>

// jpeglib.h needs FILE and size_t declared before it.
#include <jpeglib.h>
#include <libyuv/scale_argb.h>

#include "Commands.h"

namespace kova::tool {
namespace {

constexpr std::size_t kMaxStillBytes = std::size_t{256} << 20;
constexpr std::uint32_t kMaxStillSide = 16384;

bool isPng(const std::vector<std::uint8_t>& file) {
    static const std::uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    return file.size() >= 8 && std::memcmp(file.data(), signature, 8) == 0;
}

bool isJpeg(const std::vector<std::uint8_t>& file) {
    return file.size() >= 3 && file[0] == 0xFF && file[1] == 0xD8 && file[2] == 0xFF;
}

struct Decoded {
    std::vector<std::uint8_t> pixels;  // BGRA, rows width * 4 bytes
    std::uint32_t width = 0;
    std::uint32_t height = 0;
};

void checkSize(std::uint32_t width, std::uint32_t height, const std::string& name) {
    if (width == 0 || height == 0 || width > kMaxStillSide || height > kMaxStillSide) {
        throw CommandFailure(name + " is " + std::to_string(width) + "x" + std::to_string(height) +
                             " pixels; a still may be at most " + std::to_string(kMaxStillSide) +
                             " pixels a side");
    }
}

Decoded decodePng(const std::vector<std::uint8_t>& file, const std::string& name) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (png_image_begin_read_from_memory(&image, file.data(), file.size()) == 0) {
        const std::string why = image.message;
        png_image_free(&image);
        throw CommandFailure("cannot read " + name + " as a PNG: " + why);
    }
    image.format = PNG_FORMAT_BGRA;
    try {
        checkSize(image.width, image.height, name);
    } catch (...) {
        png_image_free(&image);
        throw;
    }
    Decoded decoded;
    decoded.width = image.width;
    decoded.height = image.height;
    decoded.pixels.resize(PNG_IMAGE_SIZE(image));
    if (png_image_finish_read(&image, nullptr, decoded.pixels.data(), 0, nullptr) == 0) {
        const std::string why = image.message;
        png_image_free(&image);
        throw CommandFailure("cannot read " + name + " as a PNG: " + why);
    }
    return decoded;
}

// libjpeg reports errors through a callback that must not return: it jumps back here.
struct JpegErrors {
    jpeg_error_mgr manager;
    std::jmp_buf back;
    char message[JMSG_LENGTH_MAX];
};

extern "C" void jpegFailed(j_common_ptr info) {
    auto* errors = reinterpret_cast<JpegErrors*>(info->err);
    info->err->format_message(info, errors->message);
    std::longjmp(errors->back, 1);
}

Decoded decodeJpeg(const std::vector<std::uint8_t>& file, const std::string& name) {
    jpeg_decompress_struct info{};
    JpegErrors errors{};
    info.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = jpegFailed;
    // Made before the jump point and never reassigned after it, so it is sound after a jump.
    const auto decoded = std::make_unique<Decoded>();
    if (setjmp(errors.back) != 0) {
        jpeg_destroy_decompress(&info);
        throw CommandFailure("cannot read " + name + " as a JPEG: " + errors.message);
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, file.data(), static_cast<unsigned long>(file.size()));
    jpeg_read_header(&info, TRUE);
    const std::uint32_t width = info.image_width;
    const std::uint32_t height = info.image_height;
    if (width == 0 || height == 0 || width > kMaxStillSide || height > kMaxStillSide) {
        jpeg_destroy_decompress(&info);
        checkSize(width, height, name);
    }
    info.out_color_space = JCS_EXT_BGRA;
    jpeg_start_decompress(&info);
    decoded->width = info.output_width;
    decoded->height = info.output_height;
    decoded->pixels.resize(std::size_t(decoded->width) * decoded->height * 4);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row =
            decoded->pixels.data() + std::size_t(info.output_scanline) * decoded->width * 4;
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return std::move(*decoded);
}

std::string writeJpeg(std::FILE* out, const std::uint8_t* pixels, std::size_t width,
                      std::size_t height, std::size_t stride) {
    jpeg_compress_struct info{};
    JpegErrors errors{};
    info.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = jpegFailed;
    if (setjmp(errors.back) != 0) {
        jpeg_destroy_compress(&info);
        return errors.message;
    }
    jpeg_create_compress(&info);
    jpeg_stdio_dest(&info, out);
    info.image_width = JDIMENSION(width);
    info.image_height = JDIMENSION(height);
    info.input_components = 4;
    info.in_color_space = JCS_EXT_BGRA;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, 92, TRUE);
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        // libjpeg only reads the rows it is given.
        JSAMPROW row = const_cast<std::uint8_t*>(pixels + std::size_t(info.next_scanline) * stride);
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    return {};
}

bool endsWith(const std::string& text, const char* suffix) {
    const std::size_t length = std::strlen(suffix);
    return text.size() > length && ::strcasecmp(text.c_str() + text.size() - length, suffix) == 0;
}

}  // namespace

std::vector<std::uint8_t> readWholeFile(const std::string& path) {
    const bool fromStdin = path == "-";
    std::FILE* in = fromStdin ? stdin : std::fopen(path.c_str(), "rbe");
    const std::string name = fromStdin ? "standard input" : path;
    if (in == nullptr) {
        throw CommandFailure("cannot open " + name + ": " + std::strerror(errno));
    }
    std::vector<std::uint8_t> contents;
    std::uint8_t chunk[65536];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, in)) > 0) {
        contents.insert(contents.end(), chunk, chunk + got);
        if (contents.size() > kMaxStillBytes) break;
    }
    const bool failed = std::ferror(in) != 0;
    const int error = errno;
    if (!fromStdin) std::fclose(in);
    if (failed) throw CommandFailure("cannot read " + name + ": " + std::strerror(error));
    if (contents.size() > kMaxStillBytes) {
        throw CommandFailure(name + " is larger than a still may be (256 MiB)");
    }
    return contents;
}

std::vector<std::uint8_t> fitStill(const std::vector<std::uint8_t>& file, const std::string& name,
                                   std::size_t width, std::size_t height) {
    Decoded picture;
    if (isPng(file)) {
        picture = decodePng(file, name);
    } else if (isJpeg(file)) {
        picture = decodeJpeg(file, name);
    } else {
        throw CommandFailure(name + " is neither a PNG nor a JPEG");
    }
    // Transparent parts over black: premultiplied, then opaque.
    for (std::size_t i = 0; i < picture.pixels.size(); i += 4) {
        const unsigned alpha = picture.pixels[i + 3];
        for (std::size_t c = 0; c < 3; ++c) {
            picture.pixels[i + c] = std::uint8_t((picture.pixels[i + c] * alpha + 127) / 255);
        }
        picture.pixels[i + 3] = 0xFF;
    }
    const double scale = std::min(double(width) / picture.width, double(height) / picture.height);
    const auto fitWidth =
        std::clamp<std::size_t>(std::size_t(picture.width * scale + 0.5), 1, width);
    const auto fitHeight =
        std::clamp<std::size_t>(std::size_t(picture.height * scale + 0.5), 1, height);
    std::vector<std::uint8_t> frame(width * height * 4, 0);
    const std::size_t left = (width - fitWidth) / 2;
    const std::size_t top = (height - fitHeight) / 2;
    // libyuv's "ARGB" is the byte order B, G, R, A: the frame's own.
    const int scaled =
        libyuv::ARGBScale(picture.pixels.data(), int(picture.width * 4), int(picture.width),
                          int(picture.height), frame.data() + top * width * 4 + left * 4,
                          int(width * 4), int(fitWidth), int(fitHeight), libyuv::kFilterBilinear);
    if (scaled != 0) throw CommandFailure("cannot scale " + name);
    // Filtering may round the alpha of the opaque picture below 0xFF.
    for (std::size_t i = 3; i < frame.size(); i += 4) frame[i] = 0xFF;
    return frame;
}

std::optional<PictureFormat> pictureFormatOf(const std::string& path) {
    if (path == "-" || endsWith(path, ".png")) return PictureFormat::Png;
    if (endsWith(path, ".jpg") || endsWith(path, ".jpeg")) return PictureFormat::Jpeg;
    return std::nullopt;
}

std::string writePicture(const std::string& path, PictureFormat format, const std::uint8_t* pixels,
                         std::size_t width, std::size_t height, std::size_t stride) {
    const bool toStdout = path == "-";
    const std::string name = toStdout ? "standard output" : path;
    std::FILE* out = toStdout ? stdout : std::fopen(path.c_str(), "wbe");
    if (out == nullptr) return "cannot write " + name + ": " + std::strerror(errno);
    std::string failure;
    if (format == PictureFormat::Png) {
        png_image image;
        std::memset(&image, 0, sizeof image);
        image.version = PNG_IMAGE_VERSION;
        image.width = png_uint_32(width);
        image.height = png_uint_32(height);
        image.format = PNG_FORMAT_BGRA;
        // Speed over size: the frame is held while it is encoded (2.5 times faster on flat
        // pictures).
        image.flags = PNG_IMAGE_FLAG_FAST;
        // The stride counts components, which are bytes at 8 bits each.
        if (png_image_write_to_stdio(&image, out, 0, pixels, png_int_32(stride), nullptr) == 0) {
            failure = image.message;
        }
        png_image_free(&image);
    } else {
        failure = writeJpeg(out, pixels, width, height, stride);
    }
    const bool closed = toStdout ? std::fflush(out) == 0 : std::fclose(out) == 0;
    if (failure.empty() && !closed) failure = std::strerror(errno);
    return failure.empty() ? failure : "cannot write " + name + ": " + failure;
}

}  // namespace kova::tool
