// The goals, the medians over runs, the printed tables and the JSON of kova-bench.
#include "Report.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <fstream>
#include <nlohmann/json.hpp>

namespace kova::bench {

namespace {

// One line of the figures table: a heading (no key) or a figure.
struct Row {
    std::string label;
    std::string key;  // empty: a heading
    int decimals = 1;
};

std::vector<Row> figureRows(const Report& report) {
    const std::string viewers = std::to_string(report.viewers);
    char rate[32];
    std::snprintf(rate, sizeof rate, "%.2f", report.frameRate);
    const std::string atRate = std::string("at ") + rate + " fps";
    return {
        {"One frame (800 × 960 BGRA, 3 072 000 bytes), warm", "", 0},
        {"memcpy (µs)", "memcpy_us", 1},
        {"memset (µs)", "memset_us", 1},
        {"Kova, producer " + atRate + ", 1 viewer", "", 0},
        {"push → view latency p50 (µs)", "rate_latency_p50_us", 1},
        {"push → view latency p99 (µs)", "rate_latency_p99_us", 1},
        {"push → view latency max (µs)", "rate_latency_max_us", 1},
        {"camera CPU per frame (µs)", "rate_camera_cpu_us", 1},
        {"camera thread wake-ups per frame", "rate_camera_wakeups", 2},
        {"camera system calls per frame", "rate_camera_syscalls", 2},
        {"producer wake-ups per frame", "rate_producer_wakeups", 2},
        {"producer system calls per frame", "rate_producer_syscalls", 2},
        {"busiest viewer wake-ups per frame", "rate_viewer_wakeups", 2},
        {"busiest viewer system calls per frame", "rate_viewer_syscalls", 2},
        {"frames taken back from a viewer", "rate_taken_back", 0},
        {"frames read changed though intact() said they held (goal 0)", "rate_changed_unannounced",
         0},
        {"producer CPU per frame (µs)", "rate_producer_cpu_us", 1},
        {"viewer CPU per frame (µs)", "rate_viewer_cpu_us", 1},
        {"relay CPU, camera + viewer (% of a core)", "rate_relay_core_percent", 3},
        {"Kova, unthrottled, 1 viewer", "", 0},
        {"frames relayed per second", "fast1_fps", 0},
        {"push → view latency p50 (µs)", "fast1_latency_p50_us", 1},
        {"push → view latency p99 (µs)", "fast1_latency_p99_us", 1},
        {"push → view latency max (µs)", "fast1_latency_max_us", 1},
        {"camera CPU per frame (µs)", "fast1_camera_cpu_us", 1},
        {"camera thread wake-ups per frame", "fast1_camera_wakeups", 2},
        {"camera system calls per frame", "fast1_camera_syscalls", 2},
        {"producer wake-ups per frame", "fast1_producer_wakeups", 2},
        {"producer system calls per frame", "fast1_producer_syscalls", 2},
        {"busiest viewer wake-ups per frame", "fast1_viewer_wakeups", 2},
        {"busiest viewer system calls per frame", "fast1_viewer_syscalls", 2},
        {"frames taken back from a viewer", "fast1_taken_back", 0},
        {"frames read changed though intact() said they held (goal 0)", "fast1_changed_unannounced",
         0},
        {"producer CPU per frame (µs)", "fast1_producer_cpu_us", 1},
        {"viewer CPU per frame (µs)", "fast1_viewer_cpu_us", 1},
        {"camera + producer + viewer CPU per frame (µs)", "fast1_total_cpu_us", 1},
        {"Kova, unthrottled, " + viewers + " viewers", "", 0},
        {"frames relayed per second", "fastN_fps", 0},
        {"push → view latency p50, every viewer (µs)", "fastN_latency_p50_us", 1},
        {"push → view latency p99, every viewer (µs)", "fastN_latency_p99_us", 1},
        {"camera CPU per relayed frame (µs)", "fastN_camera_cpu_us", 1},
        {"CPU of all viewers per relayed frame (µs)", "fastN_viewers_cpu_us", 1},
        {"frames a viewer missed (%)", "fastN_missed_percent", 2},
        {"camera thread wake-ups per relayed frame", "fastN_camera_wakeups", 2},
        {"camera system calls per frame", "fastN_camera_syscalls", 2},
        {"producer wake-ups per frame", "fastN_producer_wakeups", 2},
        {"producer system calls per frame", "fastN_producer_syscalls", 2},
        {"busiest viewer wake-ups per frame", "fastN_viewer_wakeups", 2},
        {"busiest viewer system calls per frame", "fastN_viewer_syscalls", 2},
        {"frames taken back from a viewer", "fastN_taken_back", 0},
        {"frames read changed though intact() said they held (goal 0)", "fastN_changed_unannounced",
         0},
        {"Kova placeholder (no producer, 1 viewer)", "", 0},
        {"frames per second", "placeholder_fps", 2},
        {"camera CPU per placeholder frame (µs)", "placeholder_camera_cpu_us", 1},
        {"camera thread wake-ups per placeholder frame", "placeholder_camera_wakeups", 2},
        {"camera system calls per placeholder frame", "placeholder_camera_syscalls", 2},
        {"viewer wake-ups per placeholder frame", "placeholder_viewer_wakeups", 2},
        {"viewer system calls per placeholder frame", "placeholder_viewer_syscalls", 2},
        {"timer lateness p50 (µs)", "placeholder_lateness_p50_us", 1},
        {"timer lateness p99 (µs)", "placeholder_lateness_p99_us", 1},
        {"timer lateness max (µs)", "placeholder_lateness_max_us", 1},
        {"ticks missed", "placeholder_missed_ticks", 0},
        {"kova-camera process (" + viewers + " viewers and a producer connected)", "", 0},
        {"resident memory (KiB)", "camera_rss_kib", 0},
        {"… of it anonymous (KiB)", "camera_rss_anon_kib", 0},
        {"… of it files (KiB)", "camera_rss_file_kib", 0},
        {"… of it shared memory, its own pixel buffers (KiB)", "camera_rss_shmem_kib", 0},
        {"pixel copies per relayed frame", "camera_pixel_copies", 0},
        {"producer buffers the camera has mapped", "camera_maps_producer_buffers", 0},
        {"relayed frames a viewer found overwritten when it read them, " + atRate,
         "rate_marker_mismatches", 0},
        {"… unthrottled, 1 viewer", "fast1_marker_mismatches", 0},
        {"… unthrottled, " + viewers + " viewers", "fastN_marker_mismatches", 0},
        {"page faults per relayed frame", "camera_minor_faults_per_frame", 3},
        {"Copying relay (SOCK_STREAM socket, writer → reader), unthrottled", "", 0},
        {"frames per second", "copy_relay_fps", 0},
        {"CPU per frame, writer + reader (µs)", "copy_relay_cpu_us", 1},
        {"The machine's floor, in the same windows", "", 0},
        {"plain 30 Hz sleep-until-deadline thread: lateness p50 (µs)", "bare_timer_lateness_p50_us",
         1},
        {"plain 30 Hz sleep-until-deadline thread: lateness p99 (µs)", "bare_timer_lateness_p99_us",
         1},
        {"placeholder timer lateness p99 ÷ the plain thread's",
         "ratio_placeholder_lateness_p99_over_bare", 2},
        {"one SEQPACKET hop between two threads " + atRate + ": latency p50 (µs)",
         "bare_hop_latency_p50_us", 1},
        {"one SEQPACKET hop " + atRate + ": latency p99 (µs)", "bare_hop_latency_p99_us", 1},
        {"CPU of one wake-up that receives one hop (µs)", "bare_wakeup_cpu_us", 1},
        {"camera CPU per frame " + atRate + " ÷ one such wake-up",
         "ratio_camera_cpu_over_bare_wakeup", 2},
        {"push → view latency p50 ÷ one hop's (Kova's path is two hops)",
         "ratio_latency_p50_over_bare_hop", 2},
        {"camera CPU per placeholder frame ÷ one such wake-up",
         "ratio_placeholder_cpu_over_bare_wakeup", 2},
        {"GStreamer shmsink → shmsrc " + atRate, "", 0},
        {"consumer CPU per frame (µs)", "gst_consumer_cpu_us", 1},
        {"CPU per frame shmsink adds to its pipeline (µs)", "gst_sink_added_cpu_us", 1},
        {"relay CPU per frame, consumer + sink's share (µs)", "gst_relay_cpu_us", 1},
        {"relay CPU (% of a core)", "gst_relay_core_percent", 3},
        {"Kova's elements: videotestsrc ! kovasink → kovasrc ! fakesink " + atRate, "", 0},
        {"kovasink push → fakesink latency p50 (µs)", "gst_kova_latency_p50_us", 1},
        {"kovasink push → fakesink latency p99 (µs)", "gst_kova_latency_p99_us", 1},
        {"kovasink push → fakesink latency max (µs)", "gst_kova_latency_max_us", 1},
        {"frames reaching fakesink (% of the source's)", "gst_kova_received_percent", 1},
        {"kovasrc ! fakesink CPU per frame (µs)", "gst_kova_src_cpu_us", 1},
        {"CPU per frame kovasink adds to its pipeline (µs)", "gst_kova_sink_added_cpu_us", 1},
        {"camera CPU per frame (µs)", "gst_kova_camera_cpu_us", 1},
        {"relay CPU per frame, camera + consumer + sink's share (µs)", "gst_kova_relay_cpu_us", 1},
        {"… ÷ the shm relay's", "ratio_gst_kova_relay_cpu_over_gst", 2},
    };
}

std::string formatted(double value, int decimals) {
    if (!std::isfinite(value)) return "–";
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// Ratios are shown with enough digits to compare against their limits.
std::string formattedRatio(double value) {
    if (!std::isfinite(value)) return "–";
    char text[64];
    std::snprintf(text, sizeof text, value >= 10 ? "%.1f" : value >= 1 ? "%.2f" : "%.3f", value);
    return text;
}

nlohmann::ordered_json histogramJson(const Histogram& histogram) {
    return {{"edges_us", histogram.edges}, {"counts", histogram.counts}};
}

double loadAverage() {
    double loads[1] = {0};
    return ::getloadavg(loads, 1) == 1 ? loads[0] : 0;
}

}  // namespace

const std::vector<Goal>& goals() {
    static const std::vector<Goal> all = {
        {"camera CPU per relayed frame ÷ one warm frame memcpy (the larger of the two rates)",
         "ratio_camera_cpu_over_memcpy", true, 0.2},
        {"camera + producer + viewer CPU per relayed frame ÷ the copying relay's (unthrottled)",
         "ratio_total_cpu_over_copy_relay", true, 0.03},
        {"frames relayed per second, unthrottled, 1 viewer ÷ the copying relay's",
         "ratio_fps_over_copy_relay", false, 40},
        {"camera CPU per relayed frame at the stream's rate ÷ one bare wake-up that receives one "
         "hop",
         "ratio_camera_cpu_over_bare_wakeup", true, 2},
        {"camera CPU per placeholder frame ÷ one bare wake-up",
         "ratio_placeholder_cpu_over_bare_wakeup", true, 2},
        {"push → view latency p50 ÷ one bare hop's p50 (the path is two hops)",
         "ratio_latency_p50_over_bare_hop", true, 2.2},
        {"push → view latency p50 at the stream's rate (µs)", "rate_latency_p50_us", true, 100},
        {"push → view latency p99 at the stream's rate (µs)", "rate_latency_p99_us", true, 1000},
        {"relay CPU per frame (camera + viewer) ÷ GStreamer shm relay's (consumer + sink's share)",
         "ratio_relay_cpu_over_gst", true, 0.25},
        {"camera CPU per placeholder frame ÷ one warm frame memset",
         "ratio_placeholder_cpu_over_memset", true, 2},
        {"placeholder timer lateness p99 (µs)", "placeholder_lateness_p99_us", true, 1000},
        {"relayed frames a viewer that releases at once read while they changed (all scenarios)",
         "frames_read_changing", true, 0},
    };
    return all;
}

std::optional<bool> goalMet(const Goal& goal, const Figures& figures) {
    const auto found = figures.find(goal.key);
    if (found == figures.end() || !std::isfinite(found->second)) return std::nullopt;
    return goal.atMost ? found->second <= goal.limit : found->second >= goal.limit;
}

Figures mediansOf(const std::vector<Figures>& runs) {
    std::map<std::string, std::vector<double>> byKey;
    for (const Figures& run : runs) {
        for (const auto& [key, value] : run) {
            if (std::isfinite(value)) byKey[key].push_back(value);
        }
    }
    Figures medians;
    for (auto& [key, values] : byKey) medians[key] = medianOf(std::move(values));
    return medians;
}

MachineFacts machineFacts() {
    MachineFacts facts;
    facts.cpus = int(::sysconf(_SC_NPROCESSORS_ONLN));
    utsname name{};
    if (::uname(&name) == 0) facts.kernel = std::string(name.sysname) + " " + name.release;
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("model name", 0) == 0) {
            facts.cpuModel = line.substr(line.find(':') + 2);
            break;
        }
    }
    facts.loadAverageBefore = loadAverage();
    return facts;
}

void printTables(std::FILE* out, const Report& report) {
    const auto value = [&](const Figures& figures, const std::string& key) {
        const auto found = figures.find(key);
        return found == figures.end() ? NAN : found->second;
    };

    std::fprintf(out,
                 "\n| Figure (median of %d runs) | Median | Each run |\n| --- | ---: | --- |\n",
                 report.runs);
    for (const Row& row : figureRows(report)) {
        if (row.key.empty()) {
            std::fprintf(out, "| **%s** | | |\n", row.label.c_str());
            continue;
        }
        std::string each;
        for (const Figures& run : report.perRun) {
            each += (each.empty() ? "" : " · ") + formatted(value(run, row.key), row.decimals);
        }
        std::fprintf(out, "| %s | %s | %s |\n", row.label.c_str(),
                     formatted(value(report.medians, row.key), row.decimals).c_str(), each.c_str());
    }

    std::fprintf(out,
                 "\n| Goal (median of %d runs; ratios taken within each run) | Measured | "
                 "Goal | Met |\n| --- | ---: | ---: | :---: |\n",
                 report.runs);
    for (const Goal& goal : goals()) {
        const double measured = value(report.medians, goal.key);
        const auto met = goalMet(goal, report.medians);
        const bool isRatio = goal.key.rfind("ratio_", 0) == 0;
        const std::string shown = isRatio ? formattedRatio(measured) : formatted(measured, 1);
        const std::string limit = std::string(goal.atMost ? "≤ " : "≥ ") +
                                  (isRatio ? formattedRatio(goal.limit) : formatted(goal.limit, 0));
        std::string verdict = !met ? "not measured" : *met ? "yes" : "no";
        if (met && !*met && std::isfinite(measured) && goal.limit > 0) {
            verdict += " (" + formattedRatio(measured / goal.limit) + "× the goal)";
        }
        std::fprintf(out, "| %s | %s | %s | %s |\n", goal.text.c_str(), shown.c_str(),
                     limit.c_str(), verdict.c_str());
    }
    std::fprintf(
        out, "\nMachine: %d CPUs (%s), %s; load average %.2f before the runs, %.2f after.\n",
        report.machine.cpus, report.machine.cpuModel.c_str(), report.machine.kernel.c_str(),
        report.machine.loadAverageBefore, report.machine.loadAverageAfter);
}

std::string reportJson(const Report& report) {
    // Figures that were not measured are NaN, which nlohmann-json writes as null.
    nlohmann::ordered_json goalLines = nlohmann::ordered_json::array();
    for (const Goal& goal : goals()) {
        const auto found = report.medians.find(goal.key);
        const auto met = goalMet(goal, report.medians);
        goalLines.push_back({{"goal", goal.text},
                             {"key", goal.key},
                             {"at_most", goal.atMost},
                             {"limit", goal.limit},
                             {"measured", found == report.medians.end() ? NAN : found->second},
                             {"met", met ? nlohmann::ordered_json(*met) : nullptr}});
    }
    const nlohmann::ordered_json out = {
        {"command", report.command},
        {"runs", report.runs},
        {"viewers", report.viewers},
        {"frame_rate", report.frameRate},
        {"machine",
         {{"cpus", report.machine.cpus},
          {"cpu_model", report.machine.cpuModel},
          {"kernel", report.machine.kernel},
          {"load_average_before", report.machine.loadAverageBefore},
          {"load_average_after", report.machine.loadAverageAfter}}},
        {"medians", report.medians},
        {"per_run", report.perRun},
        {"goals", std::move(goalLines)},
        {"histograms",
         {{"latency_stream_rate_us", histogramJson(report.histograms.latencyAtStreamRateUs)},
          {"latency_unthrottled_us", histogramJson(report.histograms.latencyUnthrottledUs)},
          {"placeholder_lateness_us", histogramJson(report.histograms.placeholderLatenessUs)}}},
    };
    // The command line and the CPU's name are bytes from outside: a stray non-UTF-8 byte becomes
    // U+FFFD rather than an exception after the whole run.
    return out.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

int writeJson(const std::string& path, const Report& report) {
    const std::string text = reportJson(report);
    std::FILE* file = std::fopen(path.c_str(), "we");
    if (file == nullptr) return -errno;
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    const int writeError = errno;
    if (std::fclose(file) != 0) return -errno;
    return written ? 0 : -writeError;
}

void noteLoadAfter(MachineFacts& facts) {
    facts.loadAverageAfter = loadAverage();
}

}  // namespace kova::bench
