// A minimal producer: pushes a slowly moving gradient into the camera for ten seconds, taking
// the sink over from whoever holds it.
#include <cstdio>

#include "kova/kova.h"

int main() {
    try {
        kova::ProducerOptions options;
        options.take_over = true;
        kova::Producer producer = kova::Producer::open({}, options);
        producer.set_frame_rate(30);
        for (int n = 0; n < 300; ++n) {
            kova::Producer::Frame frame = producer.acquire();
            for (std::size_t y = 0; y < frame.height(); ++y) {
                std::uint8_t* row = frame.data() + y * frame.stride();
                for (std::size_t x = 0; x < frame.width(); ++x) {
                    row[x * 4 + 0] = std::uint8_t(x + n);  // blue
                    row[x * 4 + 1] = std::uint8_t(y);      // green
                    row[x * 4 + 2] = 0x40;                 // red
                    row[x * 4 + 3] = 0xFF;                 // alpha: opaque
                }
            }
            producer.sleep_until_next_frame();
            producer.push(std::move(frame));
        }
        producer.close();
        const auto counters = producer.counters();
        std::printf("pushed %llu frames, dropped %llu\n", (unsigned long long)counters.sent,
                    (unsigned long long)counters.dropped);
    } catch (const kova::Error& error) {
        std::fprintf(stderr, "example-producer: %s\n", error.what());
        return 1;
    }
    return 0;
}
