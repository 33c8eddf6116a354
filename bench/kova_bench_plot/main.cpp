// kova-bench-plot: draws the latency histograms of a kova-bench JSON file as a PNG, with gnuplot.
//
// Usage: kova-bench-plot RESULTS.json OUT.png
// The top panel shows push → view latency at the stream's rate and unthrottled, the bottom one
// the placeholder timer's lateness, each against its goal; every histogram is pooled over the
// runs, as a share of its frames per log-spaced bin.
#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

#include "cli/CommandLine.h"

namespace kova::bench {
namespace {

using nlohmann::json;

// The numbers at `pointer` in `report` ("/a/b"), which may be absent or of any type: older
// reports and unmeasured (null) figures read as nothing.
std::optional<double> numberAt(const json& report, const std::string& pointer) {
    const json::json_pointer at(pointer);
    if (!report.contains(at) || !report.at(at).is_number()) return std::nullopt;
    return report.at(at).get<double>();
}

std::optional<std::vector<double>> numbersAt(const json& report, const std::string& pointer) {
    const json::json_pointer at(pointer);
    if (!report.contains(at) || !report.at(at).is_array()) return std::nullopt;
    std::vector<double> numbers;
    for (const json& value : report.at(at)) {
        if (!value.is_number()) return std::nullopt;
        numbers.push_back(value.get<double>());
    }
    return numbers;
}

struct Series {
    std::string data;  // gnuplot data block lines: left edge, share in %
    double frames = 0;
};

// The histogram as steps: each bin's left edge with its share, and the last edge closing it.
Series seriesOf(const json& report, const std::string& histogram) {
    Series series;
    const auto edges = numbersAt(report, "/histograms/" + histogram + "/edges_us");
    const auto counts = numbersAt(report, "/histograms/" + histogram + "/counts");
    if (!edges || !counts || edges->size() != counts->size() + 1) return series;
    for (const double count : *counts) series.frames += count;
    if (series.frames == 0) return series;
    std::ostringstream lines;
    for (std::size_t i = 0; i < counts->size(); ++i) {
        lines << (*edges)[i] << ' ' << (*counts)[i] * 100 / series.frames << '\n';
    }
    lines << edges->back() << ' ' << counts->back() * 100 / series.frames << '\n';
    series.data = lines.str();
    return series;
}

std::string figure(const json& report, const std::string& key) {
    const auto value = numberAt(report, "/medians/" + key);
    if (!value) return "–";
    char text[32];
    std::snprintf(text, sizeof text, *value >= 100 ? "%.0f" : "%.1f", *value);
    return text;
}

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string scriptFor(const json& report, const std::string& outputPath) {
    const Series atRate = seriesOf(report, "latency_stream_rate_us");
    const Series unthrottled = seriesOf(report, "latency_unthrottled_us");
    const Series lateness = seriesOf(report, "placeholder_lateness_us");
    const double runs = numberAt(report, "/runs").value_or(0);
    const double rate = numberAt(report, "/frame_rate").value_or(0);
    const double loadBefore = numberAt(report, "/machine/load_average_before").value_or(0);
    const double loadAfter = numberAt(report, "/machine/load_average_after").value_or(0);

    char title[256];
    std::snprintf(title, sizeof title,
                  "kova-bench, %.0f runs pooled (load average %.1f before, %.1f after)", runs,
                  loadBefore, loadAfter);
    char rateText[32];
    std::snprintf(rateText, sizeof rateText, "%.2f", rate);

    std::ostringstream s;
    s << "set terminal pngcairo size 1100,800 noenhanced font 'Sans,10'\n"
      << "set output " << quoted(outputPath) << "\n"
      << "$rate << EOD\n"
      << atRate.data << "EOD\n"
      << "$unthrottled << EOD\n"
      << unthrottled.data << "EOD\n"
      << "$lateness << EOD\n"
      << lateness.data << "EOD\n"
      << "set multiplot layout 2,1 title " << quoted(title) << "\n"
      << "set logscale x\nset xrange [1:100000]\nset yrange [0:*]\nset grid\n"
      << "set ylabel 'share of frames per bin (%)'\nset key top right\n"
      << "set xlabel 'push → view latency (µs), log scale'\n"
      << "set arrow 1 from 100, graph 0 to 100, graph 1 nohead dt 2 lc rgb '#2a7f2a'\n"
      << "set label 1 'p50 goal 100 µs' at 110, graph 0.72 tc rgb '#2a7f2a'\n"
      << "set arrow 2 from 1000, graph 0 to 1000, graph 1 nohead dt 2 lc rgb '#b03030'\n"
      << "set label 2 'p99 goal 1 ms' at 1100, graph 0.64 tc rgb '#b03030'\n"
      << "plot $rate using 1:2 with steps lw 2 lc rgb '#1f5fbf' title "
      << quoted("producer at " + std::string(rateText) + " fps, 1 viewer: p50 " +
                figure(report, "rate_latency_p50_us") + " µs, p99 " +
                figure(report, "rate_latency_p99_us") + " µs (" +
                std::to_string(std::llround(atRate.frames)) + " frames)")
      << ", $unthrottled using 1:2 with steps lw 2 lc rgb '#d08020' title "
      << quoted("unthrottled, 1 viewer: p50 " + figure(report, "fast1_latency_p50_us") +
                " µs, p99 " + figure(report, "fast1_latency_p99_us") + " µs (" +
                std::to_string(std::llround(unthrottled.frames)) + " frames)")
      << "\n"
      << "unset arrow 1\nunset label 1\n"
      << "set xlabel 'placeholder timer lateness (µs), log scale'\n"
      << "set label 2 'p99 goal 1 ms' at 1100, graph 0.72 tc rgb '#b03030'\n"
      << "plot $lateness using 1:2 with steps lw 2 lc rgb '#7040a0' title "
      << quoted("placeholder frames: p50 " + figure(report, "placeholder_lateness_p50_us") +
                " µs, p99 " + figure(report, "placeholder_lateness_p99_us") +
                " µs; a plain sleeping thread in the same windows: p99 " +
                figure(report, "bare_timer_lateness_p99_us") + " µs (" +
                std::to_string(std::llround(lateness.frames)) + " frames)")
      << "\n"
      << "unset multiplot\n";
    return s.str();
}

int run(int argc, char** argv) {
    CLI::App program(
        "Draws the latency histograms of a kova-bench JSON file as a PNG, with gnuplot.",
        "kova-bench-plot");
    kova::cli::addVersion(program);
    std::string resultsPath;
    std::string outputPath;
    program.add_option("RESULTS.json", resultsPath, "what kova-bench --json wrote")->required();
    program.add_option("OUT.png", outputPath, "the picture to write")->required();
    if (const auto done = kova::cli::parse(program, argc, argv)) return *done;

    std::ifstream file(resultsPath);
    if (!file) {
        std::fprintf(stderr, "kova-bench-plot: cannot read %s\n", resultsPath.c_str());
        return 1;
    }
    json report;
    try {
        report = json::parse(file);
    } catch (const json::parse_error& error) {
        std::fprintf(stderr, "kova-bench-plot: %s is not JSON: %s\n", resultsPath.c_str(),
                     error.what());
        return 1;
    }
    if (!numbersAt(report, "/histograms/latency_stream_rate_us/counts")) {
        std::fprintf(stderr, "kova-bench-plot: %s holds no kova-bench histograms\n",
                     resultsPath.c_str());
        return 1;
    }
    const std::string script = scriptFor(report, outputPath);
    FILE* gnuplot = ::popen("gnuplot", "w");
    if (gnuplot == nullptr) {
        std::fprintf(stderr, "kova-bench-plot: cannot start gnuplot (Debian: gnuplot-nox)\n");
        return 1;
    }
    std::fwrite(script.data(), 1, script.size(), gnuplot);
    const int status = ::pclose(gnuplot);
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "kova-bench-plot: gnuplot failed (is gnuplot-nox installed?)\n");
        return 1;
    }
    return 0;
}

}  // namespace
}  // namespace kova::bench

int main(int argc, char** argv) {
    return kova::bench::run(argc, argv);
}
