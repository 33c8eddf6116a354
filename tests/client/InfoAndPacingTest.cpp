// query_info against a scripted camera, and the push loop's deadline grid.
#include <gtest/gtest.h>

#include "FakeCamera.h"
#include "FramePacer.h"
#include "kova/kova.h"
#include "tests/harness/FdCount.h"

namespace kova::client::test {
namespace {

wire::StreamInfo streamInfo(const char* name, wire::StreamDirection direction) {
    wire::StreamInfo stream{};
    wire::setText(stream.name, name);
    stream.direction = direction;
    stream.pixelFormat = 0x42475241;
    stream.width = 800;
    stream.height = 960;
    stream.frameDurationValue = 100;
    stream.frameDurationTimescale = 5983;
    if (direction == wire::StreamDirection::Sink) {
        stream.sinkBufferQueueSize = 8;
        stream.sinkBuffersRequiredForStartup = 1;
    }
    return stream;
}

TEST(QueryInfo, ReadsEveryFieldOfTheCameraReply) {
    kova::testing::FdLeakGuard fdGuard;
    FakeCamera camera;
    camera.serve({[&](wire::Connection& c) {
        welcome(c, wire::Role::Info);
        expect<wire::InfoRequest>(c);
        wire::InfoReply reply;
        wire::setText(reply.providerManufacturer, "Maker");
        wire::setText(reply.deviceName, "Cam");
        wire::setText(reply.deviceId, "6E3D5CAB-70CE-4E1A-9A5E-3D5C0A11B0D4");
        wire::setText(reply.legacyDeviceId, "legacy-id");
        wire::setText(reply.deviceModel, "Model");
        reply.transportType = 0x76697274;
        reply.streamCount = 2;
        reply.streams[0] = streamInfo("Out", wire::StreamDirection::Source);
        reply.streams[1] = streamInfo("In", wire::StreamDirection::Sink);
        reply.streams[1].activeFormatIndex = 2;
        send(c, reply);
        expectHangUp(c);
    }});

    const CameraInfo info = query_info(camera.options());
    camera.join();
    EXPECT_EQ(info.manufacturer, "Maker");
    EXPECT_EQ(info.device_name, "Cam");
    EXPECT_EQ(info.device_id, "6E3D5CAB-70CE-4E1A-9A5E-3D5C0A11B0D4");
    EXPECT_EQ(info.legacy_device_id, "legacy-id");
    EXPECT_EQ(info.model, "Model");
    EXPECT_EQ(fourcc_text(info.transport_type), "virt");
    ASSERT_EQ(info.streams.size(), 2u);
    const auto& output = info.streams[0];
    EXPECT_EQ(output.name, "Out");
    EXPECT_EQ(output.direction, "source");
    EXPECT_EQ(output.fourcc, "BGRA");
    EXPECT_EQ(output.width, 800u);
    EXPECT_EQ(output.height, 960u);
    EXPECT_EQ(output.frame_duration_value, 100);
    EXPECT_EQ(output.frame_duration_timescale, 5983);
    EXPECT_EQ(output.active_format_index, 0);
    EXPECT_FALSE(output.sink_buffer_queue_size) << "the output has no sink queue";
    EXPECT_FALSE(output.sink_buffers_required_for_startup);
    const auto& sink = info.streams[1];
    EXPECT_EQ(sink.direction, "sink");
    EXPECT_EQ(sink.active_format_index, 2);
    EXPECT_EQ(sink.sink_buffer_queue_size, 8);
    EXPECT_EQ(sink.sink_buffers_required_for_startup, 1);
    // A four-character code is shown most significant byte first, unprintable bytes masked.
    EXPECT_EQ(fourcc_text(0x41000A42), "A??B");
}

TEST(FramePacer, DeadlinesStayOnTheGridOfTheStartAndALateCallerSkipsOnlyWhatItMissed) {
    // A caller that always wakes at its deadline: after 5983 frames at 59.83 fps exactly 100 s
    // have passed, although no period is a whole number of nanoseconds.
    FramePacer drifting(59.83);
    std::uint64_t now = 1'000'000'000;
    for (int frame = 1; frame <= 5983; ++frame) now = drifting.nextDeadline(now);
    EXPECT_EQ(now, 101'000'000'000u);

    FramePacer pacer(100);  // 10 ms
    EXPECT_EQ(pacer.nextDeadline(0), 10'000'000u);
    // Woke 4 ms late: the next slot is still the next one on the grid.
    EXPECT_EQ(pacer.nextDeadline(14'000'000), 20'000'000u);
    // Late by less than a period: its slot, already past, so no sleep.
    EXPECT_EQ(pacer.nextDeadline(31'000'000), 30'000'000u);
    EXPECT_EQ(pacer.nextDeadline(38'000'000), 40'000'000u);
    // Stalled for several periods: no burst of catch-up frames, the next slot ahead instead.
    EXPECT_EQ(pacer.nextDeadline(93'000'000), 100'000'000u);
    // Exactly on a slot boundary after a stall: that slot is gone, the next one is due.
    EXPECT_EQ(pacer.nextDeadline(150'000'000), 160'000'000u);
}

}  // namespace
}  // namespace kova::client::test
