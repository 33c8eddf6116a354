// Paints the placeholder picture, writing every byte of the frame exactly once.
#include "Sources/CameraExtension/PlaceholderPicture.h"

#include "Sources/CameraExtension/ExtensionSupport.h"
#include "host/media/PatternFill.h"

namespace {

// Fills bytes [begin, end) from `base` with the background exactly as one fill from `base`
// would: the pattern turned by begin % 4, so that it stays in phase across rows whatever the
// stride.
void fillBackground(std::uint8_t* base, std::size_t begin, std::size_t end) {
    const std::size_t phase = begin % 4;
    const std::uint8_t pattern[4] = {kPlaceholderBackgroundPattern[phase],
                                     kPlaceholderBackgroundPattern[(phase + 1) % 4],
                                     kPlaceholderBackgroundPattern[(phase + 2) % 4],
                                     kPlaceholderBackgroundPattern[(phase + 3) % 4]};
    memset_pattern4(base + begin, pattern, end - begin);
}

}  // namespace

// The picture is what a background fill over the whole frame followed by one panel fill per
// panel row leaves behind. Painting the background only between panel runs gives the same
// bytes with a third less memory traffic: the frame is written once, as a memset would.
void paintPlaceholder(std::uint8_t* base, std::size_t bytesPerRow) {
    std::size_t painted = 0;  // bytes from `base` done so far
    const auto paintPanelRows = [&](std::size_t firstRow, std::size_t lastRow,
                                    std::size_t byteOffset, std::size_t byteLength) {
        for (std::size_t y = firstRow; y <= lastRow; ++y) {
            const std::size_t panelStart = y * bytesPerRow + byteOffset;
            fillBackground(base, painted, panelStart);
            memset_pattern4(base + panelStart, kPlaceholderPanelPattern, byteLength);
            painted = panelStart + byteLength;
        }
    };
    paintPanelRows(kUpperPanelFirstRow, kUpperPanelLastRow, kUpperPanelByteOffset,
                   kUpperPanelByteLength);
    paintPanelRows(kLowerPanelFirstRow, kLowerPanelLastRow, kLowerPanelByteOffset,
                   kLowerPanelByteLength);
    fillBackground(base, painted, static_cast<std::size_t>(kHeight) * bytesPerRow);
}
