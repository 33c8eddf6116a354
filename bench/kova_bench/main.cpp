// kova-bench: what Kova's relay costs, end to end, beside what copying the same frames costs.
//
// Each run starts its own kova-camera on a private socket and measures, with a producer and
// viewers of the client library: push → view latency at the stream's rate and unthrottled,
// frames relayed per second with 1 and N viewers, the camera's CPU per relayed and per
// placeholder frame, its memory and its pixel copies; beside them, in the same run, one frame's
// memcpy and memset, a copying relay through a SOCK_STREAM socket and, when installed,
// GStreamer's shmsink/shmsrc relay and Kova's own elements relaying the same stream. It prints the
// medians of the runs and the goals they meet.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "ChildProcess.h"
#include "CopyRelay.h"
#include "GstKovaRelay.h"
#include "GstRelay.h"
#include "KovaRelay.h"
#include "Measure.h"
#include "Report.h"
#include "cli/CommandLine.h"
#include "kova/kova.h"

namespace kova::bench {
namespace {

constexpr double kPlaceholderPeriodNs = 1e9 / 30;

struct Options {
    int runs = 3;
    int viewers = 4;
    double scale = 1;
    std::string jsonPath;
    std::string cameraProgram;
    bool gstreamer = true;
};

std::string besideThisProgram(const std::string& name) {
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? name : (self.parent_path() / name).string();
}

// a ÷ b, or not-a-number when there is nothing to divide by.
double per(double amount, double count) {
    return count > 0 ? amount / count : NAN;
}

std::string keyPart(const std::string& name) {
    std::string key;
    for (const char c : name) key += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return key;
}

void addDistribution(Figures& figures, const std::string& prefix, const Distribution& d) {
    figures[prefix + "_p50_us"] = d.count ? d.median : NAN;
    figures[prefix + "_p99_us"] = d.count ? d.p99 : NAN;
    figures[prefix + "_max_us"] = d.count ? d.max : NAN;
}

// Wake-ups and system calls per frame of the camera, the producer and the busiest viewer.
void addTaskFigures(Figures& figures, const std::string& prefix, const ScenarioResult& result,
                    double frames) {
    const auto syscalls = [&](const TaskCounts& counts) {
        return result.syscallsCounted ? per(double(counts.syscalls), frames) : NAN;
    };
    figures[prefix + "_camera_syscalls"] = syscalls(result.cameraCounts);
    figures[prefix + "_camera_preemptions"] = per(double(result.cameraCounts.preemptions), frames);
    figures[prefix + "_producer_wakeups"] = per(double(result.producerCounts.wakeups), frames);
    figures[prefix + "_producer_syscalls"] = syscalls(result.producerCounts);
    TaskCounts busiest;
    for (const TaskCounts& viewer : result.viewerCounts) {
        busiest.wakeups = std::max(busiest.wakeups, viewer.wakeups);
        busiest.syscalls = std::max(busiest.syscalls, viewer.syscalls);
    }
    figures[prefix + "_viewer_wakeups"] = per(double(busiest.wakeups), frames);
    figures[prefix + "_viewer_syscalls"] = syscalls(busiest);
}

// The figures every relay scenario has, under `prefix`.
void addRelayFigures(Figures& figures, const std::string& prefix, const ScenarioResult& result) {
    const double frames = double(result.framesRelayed);
    figures[prefix + "_fps"] = per(frames, result.seconds);
    figures[prefix + "_camera_cpu_us"] = per(double(result.cameraCpuNs) / 1e3, frames);
    figures[prefix + "_producer_cpu_us"] = per(double(result.producerCpuNs) / 1e3, frames);
    figures[prefix + "_refused"] = double(result.framesRefused);
    addDistribution(figures, prefix + "_latency", distributionOf(result.latencyUs));
    double wakeups = 0;
    for (const auto& [thread, usage] : result.cameraThreads) {
        figures[prefix + "_camera_thread_" + keyPart(thread) + "_cpu_us"] =
            per(double(usage.cpuNs) / 1e3, frames);
        figures[prefix + "_camera_thread_" + keyPart(thread) + "_wakeups"] =
            per(double(usage.sleeps), frames);
        wakeups += double(usage.sleeps);
    }
    figures[prefix + "_camera_wakeups"] = per(wakeups, frames);
    addTaskFigures(figures, prefix, result, frames);
    figures[prefix + "_taken_back"] = double(result.framesTakenBack);
    figures[prefix + "_changed_unannounced"] = double(result.framesChangedUnannounced);
}

// The elements' relay: what the consumer, the camera and kovasink's share cost a frame.
void addGstKovaFigures(Figures& figures, const GstKovaResult& result) {
    const double consumer = per(double(result.srcPipelineCpuNs) / 1e3, result.frames);
    const double added =
        per((double(result.sinkPipelineCpuNs) - double(result.plainPipelineCpuNs)) / 1e3,
            result.frames);
    const double camera = per(double(result.cameraCpuNs) / 1e3, result.frames);
    figures["gst_kova_src_cpu_us"] = consumer;
    figures["gst_kova_sink_pipeline_cpu_us"] =
        per(double(result.sinkPipelineCpuNs) / 1e3, result.frames);
    figures["gst_kova_sink_added_cpu_us"] = added;
    figures["gst_kova_camera_cpu_us"] = camera;
    figures["gst_kova_relay_cpu_us"] = consumer + added + camera;
    figures["gst_kova_received_percent"] = per(double(result.framesReceived) * 100, result.frames);
    addDistribution(figures, "gst_kova_latency", distributionOf(result.latencyUs));
}

Figures runOnce(const Options& options, const std::string& folder, PooledHistograms& histograms) {
    Figures f;
    const double scale = options.scale;

    const FrameCopyCost copy = measureFrameCopy(200);
    f["memcpy_us"] = copy.memcpyUs;
    f["memset_us"] = copy.memsetUs;

    const CopyingRelayResult copying = runCopyingRelay(0.2, 1.0 * scale);
    f["copy_relay_fps"] = per(double(copying.frames), copying.seconds);
    f["copy_relay_cpu_us"] =
        per(double(copying.writerCpuNs + copying.readerCpuNs) / 1e3, double(copying.frames));

    CameraProcess camera(options.cameraProgram, folder);
    Scenario base;
    base.socketPath = camera.socketPath();
    base.cameraPid = camera.pid();

    Scenario placeholder = base;
    placeholder.producer = false;
    placeholder.warmupSeconds = 0.3;
    placeholder.windowSeconds = 2.5 * scale;
    placeholder.bareBaselineRate = 1e9 / kPlaceholderPeriodNs;
    const ScenarioResult idle = runScenario(placeholder);
    f["placeholder_fps"] = per(double(idle.placeholderFrames), idle.seconds);
    f["placeholder_camera_cpu_us"] =
        per(double(idle.cameraCpuNs) / 1e3, double(idle.placeholderFrames));
    double idleWakeups = 0;
    for (const auto& [thread, usage] : idle.cameraThreads) idleWakeups += double(usage.sleeps);
    f["placeholder_camera_wakeups"] = per(idleWakeups, double(idle.placeholderFrames));
    addTaskFigures(f, "placeholder", idle, double(idle.placeholderFrames));
    std::uint64_t missedTicks = 0;
    std::vector<double> lateness =
        latenessFromStamps(idle.placeholderStampsNs, kPlaceholderPeriodNs, &missedTicks);
    for (double& ns : lateness) {
        ns /= 1e3;
        histograms.placeholderLatenessUs.add(ns);
    }
    addDistribution(f, "placeholder_lateness", distributionOf(lateness));
    f["placeholder_missed_ticks"] = double(missedTicks);
    if (idle.bare) {
        addDistribution(f, "bare_timer_lateness", distributionOf(idle.bare->timerLatenessUs));
    }

    Scenario paced = base;
    paced.framesPerSecond = kova::kStreamFrameRate;
    paced.warmupSeconds = 0.5;
    paced.windowSeconds = 4 * scale;
    paced.bareBaselineRate = kova::kStreamFrameRate;
    const ScenarioResult atRate = runScenario(paced);
    addRelayFigures(f, "rate", atRate);
    for (const double us : atRate.latencyUs) histograms.latencyAtStreamRateUs.add(us);
    const double rateFrames = double(atRate.framesRelayed);
    f["rate_viewer_cpu_us"] = per(double(atRate.viewersCpuNs) / 1e3, rateFrames);
    f["rate_relay_cpu_us"] =
        per(double(atRate.cameraCpuNs + atRate.viewersCpuNs) / 1e3, rateFrames);
    f["rate_relay_core_percent"] =
        per(double(atRate.cameraCpuNs + atRate.viewersCpuNs) * 100, atRate.seconds * 1e9);
    if (atRate.bare) {
        addDistribution(f, "bare_hop_latency", distributionOf(atRate.bare->hopLatencyUs));
        f["bare_wakeup_cpu_us"] =
            per(double(atRate.bare->receiverCpuNs) / 1e3, double(atRate.bare->hopLatencyUs.size()));
    }

    Scenario unthrottled = base;
    unthrottled.warmupSeconds = 0.3;
    unthrottled.windowSeconds = 1.5 * scale;
    const ScenarioResult fast = runScenario(unthrottled);
    addRelayFigures(f, "fast1", fast);
    for (const double us : fast.latencyUs) histograms.latencyUnthrottledUs.add(us);
    const double fastFrames = double(fast.framesRelayed);
    f["fast1_viewer_cpu_us"] = per(double(fast.viewersCpuNs) / 1e3, fastFrames);
    f["fast1_total_cpu_us"] =
        per(double(fast.cameraCpuNs + fast.producerCpuNs + fast.viewersCpuNs) / 1e3, fastFrames);
    f["camera_minor_faults_per_frame"] = per(double(fast.cameraMinorFaults), fastFrames);

    Scenario many = unthrottled;
    many.viewers = options.viewers;
    const ScenarioResult fanOut = runScenario(many);
    addRelayFigures(f, "fastN", fanOut);
    f["fastN_viewers_cpu_us"] =
        per(double(fanOut.viewersCpuNs) / 1e3, double(fanOut.framesRelayed));
    f["fastN_missed_percent"] =
        per(double(fanOut.framesMissed) * 100, double(fanOut.framesViewed + fanOut.framesMissed));
    if (fanOut.cameraMemory) {
        f["camera_rss_kib"] = double(fanOut.cameraMemory->residentKiB);
        f["camera_rss_anon_kib"] = double(fanOut.cameraMemory->anonymousKiB);
        f["camera_rss_file_kib"] = double(fanOut.cameraMemory->fileKiB);
        f["camera_rss_shmem_kib"] = double(fanOut.cameraMemory->sharedMemoryKiB);
        f["camera_peak_rss_kib"] = double(fanOut.cameraMemory->peakResidentKiB);
    }
    f["camera_maps_own_buffers"] = double(fanOut.cameraMapsOfOwnBuffers);
    const std::size_t producerMaps =
        std::max({atRate.cameraMapsOfProducerBuffers, fast.cameraMapsOfProducerBuffers,
                  fanOut.cameraMapsOfProducerBuffers});
    f["camera_maps_producer_buffers"] = double(producerMaps);
    f["rate_marker_mismatches"] = double(atRate.markerMismatches);
    f["fast1_marker_mismatches"] = double(fast.markerMismatches);
    f["fastN_marker_mismatches"] = double(fanOut.markerMismatches);
    f["frames_read_changing"] =
        double(atRate.markerMismatches + fast.markerMismatches + fanOut.markerMismatches);
    // Pixels the camera has not mapped are pixels it cannot copy; with a mapping it might.
    f["camera_pixel_copies"] = producerMaps == 0 ? 0 : NAN;
    camera.stop();

    if (options.gstreamer) {
        const GstRelayResult gst = runGstRelay(folder, kova::kStreamFrameRate, 1.5, 3 * scale);
        if (gst.available) {
            const double consumer = per(double(gst.consumerPipelineCpuNs) / 1e3, gst.frames);
            const double added = per(
                (double(gst.sinkPipelineCpuNs) - double(gst.plainPipelineCpuNs)) / 1e3, gst.frames);
            f["gst_consumer_cpu_us"] = consumer;
            f["gst_sink_pipeline_cpu_us"] = per(double(gst.sinkPipelineCpuNs) / 1e3, gst.frames);
            f["gst_plain_pipeline_cpu_us"] = per(double(gst.plainPipelineCpuNs) / 1e3, gst.frames);
            f["gst_sink_added_cpu_us"] = added;
            f["gst_relay_cpu_us"] = consumer + added;
            f["gst_relay_core_percent"] = (consumer + added) * kova::kStreamFrameRate / 1e4;
        } else {
            std::fprintf(stderr, "kova-bench: GStreamer left out: %s\n", gst.why.c_str());
        }
        const GstKovaResult elements =
            runGstKovaRelay(besideThisProgram("kova-bench-gst"), options.cameraProgram, folder,
                            kova::kStreamFrameRate, 1.5, 3 * scale);
        if (elements.available) {
            addGstKovaFigures(f, elements);
        } else {
            std::fprintf(stderr, "kova-bench: Kova's GStreamer elements left out: %s\n",
                         elements.why.c_str());
        }
    }

    const double memcpyUs = f["memcpy_us"];
    f["ratio_camera_cpu_over_memcpy_rate"] = per(f["rate_camera_cpu_us"], memcpyUs);
    f["ratio_camera_cpu_over_memcpy_unthrottled"] = per(f["fast1_camera_cpu_us"], memcpyUs);
    f["ratio_camera_cpu_over_memcpy"] = std::max(f["ratio_camera_cpu_over_memcpy_rate"],
                                                 f["ratio_camera_cpu_over_memcpy_unthrottled"]);
    f["ratio_total_cpu_over_copy_relay"] = per(f["fast1_total_cpu_us"], f["copy_relay_cpu_us"]);
    f["ratio_fps_over_copy_relay"] = per(f["fast1_fps"], f["copy_relay_fps"]);
    if (f.count("gst_relay_cpu_us") != 0) {
        f["ratio_relay_cpu_over_gst"] = per(f["rate_relay_cpu_us"], f["gst_relay_cpu_us"]);
    }
    if (f.count("gst_relay_cpu_us") != 0 && f.count("gst_kova_relay_cpu_us") != 0) {
        f["ratio_gst_kova_relay_cpu_over_gst"] =
            per(f["gst_kova_relay_cpu_us"], f["gst_relay_cpu_us"]);
    }
    f["ratio_placeholder_cpu_over_memset"] = per(f["placeholder_camera_cpu_us"], f["memset_us"]);
    // Against the machine's floor in the same window: how many plain wake-ups a frame costs.
    if (f.count("bare_wakeup_cpu_us") != 0) {
        f["ratio_camera_cpu_over_bare_wakeup"] =
            per(f["rate_camera_cpu_us"], f["bare_wakeup_cpu_us"]);
        f["ratio_latency_p50_over_bare_hop"] =
            per(f["rate_latency_p50_us"], f["bare_hop_latency_p50_us"]);
        f["ratio_placeholder_cpu_over_bare_wakeup"] =
            per(f["placeholder_camera_cpu_us"], f["bare_wakeup_cpu_us"]);
    }
    if (f.count("bare_timer_lateness_p99_us") != 0) {
        f["ratio_placeholder_lateness_p99_over_bare"] =
            per(f["placeholder_lateness_p99_us"], f["bare_timer_lateness_p99_us"]);
    }
    return f;
}

int run(int argc, char** argv) {
    Options options;
    CLI::App program(
        "What Kova's relay costs, end to end, beside what copying the same frames costs.",
        "kova-bench");
    kova::cli::addVersion(program);
    program.add_option("--runs", options.runs, "runs to take the medians of (default 3)")
        ->check(CLI::Range(1, 100));
    program.add_option("--viewers", options.viewers, "viewers of the many-viewer case (default 4)")
        ->check(CLI::Range(1, 16));
    program
        .add_option("--scale", options.scale,
                    "lengthens every measuring window F times (default 1: about 17 s a run)")
        ->type_name("F")
        ->check(CLI::Range(0.1, 100.0));
    program
        .add_option("--json", options.jsonPath,
                    "writes every figure of every run, the goals and the latency histograms as "
                    "JSON (kova-bench-plot draws them)")
        ->type_name("FILE");
    program
        .add_option("--camera", options.cameraProgram,
                    "the kova-camera to start (default: the one beside kova-bench)")
        ->type_name("PATH");
    program.add_flag("--no-gstreamer{false}", options.gstreamer,
                     "leaves out the GStreamer rows (shm relay and Kova's elements)");
    if (const auto done = kova::cli::parse(program, argc, argv)) return *done;
    if (options.cameraProgram.empty()) options.cameraProgram = besideThisProgram("kova-camera");

    Report report;
    for (int i = 0; i < argc; ++i) report.command += (i ? " " : "") + std::string(argv[i]);
    report.runs = options.runs;
    report.viewers = options.viewers;
    report.frameRate = kova::kStreamFrameRate;
    report.machine = machineFacts();

    const TemporaryFolder folder;
    for (int run = 1; run <= options.runs; ++run) {
        const std::string runFolder = folder.path() + "/run-" + std::to_string(run);
        std::filesystem::create_directory(runFolder);
        std::fprintf(stderr, "kova-bench: run %d of %d…\n", run, options.runs);
        Figures figures = runOnce(options, runFolder, report.histograms);
        std::fprintf(stderr,
                     "kova-bench: run %d: %.0f frames/s unthrottled (copying relay %.0f), "
                     "latency p50 %.1f µs at %.2f fps, camera %.1f µs a frame\n",
                     run, figures["fast1_fps"], figures["copy_relay_fps"],
                     figures["rate_latency_p50_us"], kova::kStreamFrameRate,
                     figures["rate_camera_cpu_us"]);
        report.perRun.push_back(std::move(figures));
    }
    report.medians = mediansOf(report.perRun);
    noteLoadAfter(report.machine);

    printTables(stdout, report);
    if (!options.jsonPath.empty()) {
        if (const int written = writeJson(options.jsonPath, report); written < 0) {
            std::fprintf(stderr, "kova-bench: cannot write %s: %s\n", options.jsonPath.c_str(),
                         std::strerror(-written));
            return 1;
        }
    }
    return 0;
}

}  // namespace
}  // namespace kova::bench

int main(int argc, char** argv) {
    try {
        return kova::bench::run(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "kova-bench: %s\n", error.what());
        return 1;
    }
}
