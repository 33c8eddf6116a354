// Paints the placeholder picture: one background fill, then one fill per panel row.
#include "Sources/CameraExtension/PlaceholderPicture.h"

#include "Sources/CameraExtension/ExtensionSupport.h"
#include "host/media/PatternFill.h"

void paintPlaceholder(std::uint8_t* base, std::size_t bytesPerRow) {
    memset_pattern4(base, kPlaceholderBackgroundPattern,
                    static_cast<std::size_t>(kHeight) * bytesPerRow);
    for (std::size_t y = kUpperPanelFirstRow; y <= kUpperPanelLastRow; ++y) {
        memset_pattern4(base + y * bytesPerRow + kUpperPanelByteOffset, kPlaceholderPanelPattern,
                        kUpperPanelByteLength);
    }
    for (std::size_t y = kLowerPanelFirstRow; y <= kLowerPanelLastRow; ++y) {
        memset_pattern4(base + y * bytesPerRow + kLowerPanelByteOffset, kPlaceholderPanelPattern,
                        kLowerPanelByteLength);
    }
}
