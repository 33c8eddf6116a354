// A minimal viewer: reads 60 frames from the camera's output and says where each came from and
// the colour of its centre pixel.
#include <cstdio>

#include "kova/kova.h"

int main() {
    try {
        kova::Viewer viewer = kova::Viewer::open();
        for (int n = 0; n < 60; ++n) {
            const auto frame = viewer.next_frame(std::chrono::seconds(5));
            if (!frame) {
                std::fprintf(stderr, "example-viewer: no frame within 5 s\n");
                return 1;
            }
            const std::uint8_t* centre =
                frame->data() + (frame->height() / 2) * frame->stride() + (frame->width() / 2) * 4;
            std::printf(
                "frame %llu from %s: B %u G %u R %u A %u\n", (unsigned long long)frame->sequence(),
                frame->origin() == kova::Viewer::Origin::Sink ? "a producer" : "the placeholder",
                centre[0], centre[1], centre[2], centre[3]);
        }
    } catch (const kova::Error& error) {
        std::fprintf(stderr, "example-viewer: %s\n", error.what());
        return 1;
    }
    return 0;
}
