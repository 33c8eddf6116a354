// kova status: the camera's status as JSON or as lines for a person.
#include "StatusText.h"

#include <cstdio>

namespace kova::tool {

nlohmann::ordered_json statusJson(const CameraStatus& status) {
    nlohmann::ordered_json producer = nullptr;
    if (status.producer) {
        producer = {{"name", status.producer->name},
                    {"pid", status.producer->pid},
                    {"fps", status.producer->frames_last_second},
                    {"pushed", status.producer->pushed},
                    {"dropped", status.producer->dropped}};
    }
    nlohmann::ordered_json viewers = nlohmann::ordered_json::array();
    for (const auto& viewer : status.viewers) {
        viewers.push_back({{"name", viewer.name},
                           {"pid", viewer.pid},
                           {"frames", viewer.frames},
                           {"missed", viewer.missed}});
    }
    return {{"socket", status.socket_path},
            {"camera", {{"pid", status.camera_pid}, {"uptimeSeconds", status.uptime_ns / 1e9}}},
            {"output", output_name(status.output)},
            {"producer", std::move(producer)},
            {"viewers", {{"count", status.viewer_count}, {"list", std::move(viewers)}}},
            {"sinceStart",
             {{"framesRelayed", status.frames_relayed},
              {"framesPlaceholder", status.frames_placeholder},
              {"framesPushed", status.frames_pushed},
              {"framesDropped", status.frames_dropped},
              {"framesMissed", status.frames_missed},
              {"sinkSessions", status.sink_sessions},
              {"takeOvers", status.take_overs}}}};
}

void printStatusText(const CameraStatus& status) {
    std::printf("camera: pid %u, up %.1f s, serving %s\n", status.camera_pid,
                status.uptime_ns / 1e9, status.socket_path.c_str());
    static const char* const kOutputText[] = {"stopped (no viewer)", "relayed frames",
                                              "the placeholder"};
    std::printf("output: %s\n", kOutputText[int(status.output)]);
    if (status.producer) {
        std::printf("producer: \"%s\" (pid %u), %u frames a second, %llu pushed, %llu dropped\n",
                    status.producer->name.c_str(), status.producer->pid,
                    status.producer->frames_last_second,
                    (unsigned long long)status.producer->pushed,
                    (unsigned long long)status.producer->dropped);
    } else {
        std::printf("producer: none\n");
    }
    std::printf("viewers: %u\n", status.viewer_count);
    for (const auto& viewer : status.viewers) {
        std::printf("  \"%s\" (pid %u), %llu frames, %llu missed\n", viewer.name.c_str(),
                    viewer.pid, (unsigned long long)viewer.frames,
                    (unsigned long long)viewer.missed);
    }
    if (status.viewers.size() < status.viewer_count) {
        std::printf("  and %zu more\n", status.viewer_count - status.viewers.size());
    }
    std::printf(
        "since start: %llu frames relayed, %llu placeholder frames, %llu pushed, %llu dropped, "
        "%llu missed by viewers, %llu sink sessions, %llu taken over\n",
        (unsigned long long)status.frames_relayed, (unsigned long long)status.frames_placeholder,
        (unsigned long long)status.frames_pushed, (unsigned long long)status.frames_dropped,
        (unsigned long long)status.frames_missed, (unsigned long long)status.sink_sessions,
        (unsigned long long)status.take_overs);
}

}  // namespace kova::tool
