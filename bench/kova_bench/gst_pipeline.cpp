// kova-bench-gst: one of the GStreamer pipelines kova-bench measures through Kova, run until
// SIGINT or SIGTERM with the kova elements registered in process:
//
//   plain SOCKET RATE        videotestsrc ! caps ! fakesink            (what the source costs)
//   sink  SOCKET RATE        videotestsrc ! caps ! kovasink            (frames into the camera)
//   src   SOCKET RATE FILE   kovasrc ! fakesink                        (frames out of it)
//
// RATE is the frame rate in hundredths of a frame per second. The src pipeline writes to FILE,
// as it ends, one line per relayed frame that reached fakesink: the frame's host time (when
// kovasink pushed it) and the microseconds from then to fakesink getting it; then, after a '#',
// kovasrc's stats.
#include <glib-unix.h>
#include <gst/gst.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Elements.h"
#include "kova/kova.h"

namespace {

// The frames a run of a few seconds at the stream's rate relays, with room to spare: the probe
// only appends, so the streaming thread never allocates while it is being measured.
constexpr std::size_t kLatencyCapacity = 1 << 16;

struct Arrival {
    std::uint64_t hostTimeNs;
    double latencyUs;
};
struct Latencies {
    std::vector<Arrival> arrivals;
};

GstPadProbeReturn recordLatency(GstPad*, GstPadProbeInfo* info, gpointer data) {
    const std::uint64_t now = kova::host_time_now();
    auto& arrivals = static_cast<Latencies*>(data)->arrivals;
    GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    GstCustomMeta* meta = gst_buffer_get_custom_meta(buffer, "KovaFrameMeta");
    if (meta == nullptr || arrivals.size() == arrivals.capacity()) return GST_PAD_PROBE_OK;
    const GstStructure* fields = gst_custom_meta_get_structure(meta);
    guint64 hostTime = 0;
    const char* origin = gst_structure_get_string(fields, "origin");
    if (origin != nullptr && std::string(origin) == "relayed" &&
        gst_structure_get_uint64(fields, "host-time", &hostTime) && now >= hostTime) {
        arrivals.push_back({hostTime, double(now - hostTime) / 1e3});
    }
    return GST_PAD_PROBE_OK;
}

gboolean quit(gpointer loop) {
    g_main_loop_quit(static_cast<GMainLoop*>(loop));
    return G_SOURCE_REMOVE;
}

gboolean onBusMessage(GstBus*, GstMessage* message, gpointer loop) {
    if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
        GError* error = nullptr;
        gst_message_parse_error(message, &error, nullptr);
        std::fprintf(stderr, "kova-bench-gst: %s\n", error->message);
        g_error_free(error);
        std::exit(1);
    }
    if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS) quit(loop);
    return G_SOURCE_CONTINUE;
}

std::string liveSource(const std::string& hundredths) {
    return "videotestsrc is-live=true pattern=solid-color foreground-color=0xff3366aa ! "
           "video/x-raw,format=BGRA,width=" +
           std::to_string(kova::kFrameWidth) + ",height=" + std::to_string(kova::kFrameHeight) +
           ",framerate=" + hundredths + "/100 ! ";
}

int usage() {
    std::fprintf(stderr,
                 "usage: kova-bench-gst plain|sink SOCKET RATE\n"
                 "       kova-bench-gst src SOCKET RATE LATENCY-FILE\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) return usage();
    const std::string mode = argv[1], socket = argv[2], rate = argv[3];
    std::string description;
    if (mode == "plain" && argc == 4) {
        description = liveSource(rate) + "fakesink sync=false";
    } else if (mode == "sink" && argc == 4) {
        description = liveSource(rate) + "kovasink name=kova socket-path=" + socket;
    } else if (mode == "src" && argc == 5) {
        description = "kovasrc name=kova socket-path=" + socket + " ! fakesink name=out sync=false";
    } else {
        return usage();
    }

    gst_init(nullptr, nullptr);
    if (!gst_plugin_register_static(
            GST_VERSION_MAJOR, GST_VERSION_MINOR, "kova", "Frames into and out of the Kova camera",
            kova::gst::registerElements, "bench", "Proprietary", "kova", "kova", "kova")) {
        std::fprintf(stderr, "kova-bench-gst: cannot register the kova elements\n");
        return 1;
    }
    GError* error = nullptr;
    GstElement* pipeline = gst_parse_launch(description.c_str(), &error);
    if (pipeline == nullptr || error != nullptr) {
        std::fprintf(stderr, "kova-bench-gst: %s\n", error ? error->message : "no pipeline");
        return 1;
    }

    Latencies latencies;
    latencies.arrivals.reserve(kLatencyCapacity);
    if (mode == "src") {
        GstElement* out = gst_bin_get_by_name(GST_BIN(pipeline), "out");
        GstPad* pad = gst_element_get_static_pad(out, "sink");
        gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, recordLatency, &latencies, nullptr);
        gst_object_unref(pad);
        gst_object_unref(out);
    }

    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    GstBus* bus = gst_element_get_bus(pipeline);
    gst_bus_add_watch(bus, onBusMessage, loop);
    g_unix_signal_add(SIGINT, quit, loop);
    g_unix_signal_add(SIGTERM, quit, loop);
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    g_main_loop_run(loop);
    gst_element_set_state(pipeline, GST_STATE_NULL);

    int status = 0;
    if (mode == "src") {
        GstElement* source = gst_bin_get_by_name(GST_BIN(pipeline), "kova");
        GstStructure* stats = nullptr;
        g_object_get(source, "stats", &stats, nullptr);
        gst_object_unref(source);
        if (std::FILE* file = std::fopen(argv[4], "w")) {
            for (const Arrival& arrival : latencies.arrivals) {
                std::fprintf(file, "%llu %.1f\n",
                             static_cast<unsigned long long>(arrival.hostTimeNs),
                             arrival.latencyUs);
            }
            gchar* text = gst_structure_to_string(stats);
            std::fprintf(file, "# %s\n", text);
            g_free(text);
            status = std::fclose(file) == 0 ? 0 : 1;
        } else {
            status = 1;
        }
        gst_structure_free(stats);
    }
    gst_object_unref(bus);
    gst_object_unref(pipeline);
    g_main_loop_unref(loop);
    return status;
}
