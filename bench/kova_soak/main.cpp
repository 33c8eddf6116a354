// kova-soak: soak and load runs against a kova-camera it starts on a private socket, with the
// camera's memory, fds, frame rates and latencies as figures.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>

#include "CameraChild.h"
#include "Runs.h"
#include "cli/CommandLine.h"
#include "kova/kova.h"

namespace {

// What each run does and the rules of its options, under every --help.
constexpr const char* kAbout =
    "soak  pushes 60 frames a second with two viewers for --duration (default 2m) and prints\n"
    "      the camera's resident memory and open fds every --interval (10s); fails when they\n"
    "      grew after --warmup (30s): by any fd, or by --max-rss-growth KiB (1024) or more.\n"
    "load  measures a producer (60 fps) and a viewer while every other client slot of the\n"
    "      camera connects and disconnects in a loop, for --duration (60s) in 10 s stretches,\n"
    "      each after --idle (10s) of quiet; fails when their frame rates while churning fall\n"
    "      more than --tolerance (10) percent behind the quiet ones, or their median latency\n"
    "      grows by more than that percentage and by more than --latency-slack (0.25) ms.\n"
    "\n"
    "Times are seconds, or a number with s, m or h. The camera is started from --camera\n"
    "(default: kova-camera beside this program) on a socket of its own.\n"
    "Exit status: 0 every bound held, 1 one did not or the run failed, 2 bad arguments.";

enum ExitStatus { kPassed = 0, kFailed = 1 };

class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

double number(const std::string& option, const std::string& text) {
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(value) || value < 0) {
        throw UsageError(option + " wants a number, not \"" + text + "\"");
    }
    return value;
}

std::chrono::seconds duration(const std::string& option, const std::string& text) {
    std::string digits = text;
    double unit = 1;
    if (!digits.empty() && std::strchr("smh", digits.back()) != nullptr) {
        unit = digits.back() == 'h' ? 3600 : digits.back() == 'm' ? 60 : 1;
        digits.pop_back();
    }
    const double seconds = number(option, digits) * unit;
    if (seconds < 1 || seconds > 7 * 24 * 3600) {
        throw UsageError(option + " wants from 1 s to a week, not \"" + text + "\"");
    }
    return std::chrono::seconds(std::llround(seconds));
}

// Each option of a run as given; read by the run's own rules once the command line is parsed.
struct GivenOptions {
    std::optional<std::string> duration;
    std::optional<std::string> interval;
    std::optional<std::string> warmup;
    std::optional<std::string> maxResidentGrowth;
    std::optional<std::string> idle;
    std::optional<std::string> tolerance;
    std::optional<std::string> latencySlack;
    std::optional<std::string> camera;
};

int soak(const GivenOptions& given) {
    kova::soak::SoakOptions run;
    run.camera = given.camera.value_or(kova::soak::CameraChild::besideThisProgram());
    if (given.duration) run.duration = duration("--duration", *given.duration);
    if (given.interval) run.interval = duration("--interval", *given.interval);
    if (given.warmup) run.warmup = duration("--warmup", *given.warmup);
    if (given.maxResidentGrowth) {
        run.maxResidentGrowthKiB =
            std::uint64_t(std::llround(number("--max-rss-growth", *given.maxResidentGrowth)));
    }
    if (run.warmup + run.interval > run.duration) {
        throw UsageError("--duration must leave a sample after the warm-up");
    }
    return kova::soak::runSoak(run);
}

int load(const GivenOptions& given) {
    kova::soak::LoadOptions run;
    run.camera = given.camera.value_or(kova::soak::CameraChild::besideThisProgram());
    if (given.duration) run.duration = duration("--duration", *given.duration);
    if (given.idle) run.idle = duration("--idle", *given.idle);
    if (given.tolerance) run.tolerancePercent = number("--tolerance", *given.tolerance);
    if (given.latencySlack) run.latencySlackMs = number("--latency-slack", *given.latencySlack);
    return kova::soak::runLoad(run);
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App program("A soak and load harness for kova-camera.", "kova-soak");
    program.footer(kAbout);
    kova::cli::addVersion(program);
    program.require_subcommand(1);
    GivenOptions given;
    CLI::App* soakRun = program.add_subcommand("soak", "memory and fds over a long run");
    CLI::App* loadRun = program.add_subcommand("load", "steady clients beside churning ones");
    for (CLI::App* run : {soakRun, loadRun}) {
        run->add_option("--duration", given.duration, "how long the run lasts")->type_name("T");
        run->add_option("--camera", given.camera, "the kova-camera to start")->type_name("PATH");
    }
    soakRun->add_option("--interval", given.interval, "time between samples")->type_name("T");
    soakRun->add_option("--warmup", given.warmup, "time before growth counts")->type_name("T");
    soakRun->add_option("--max-rss-growth", given.maxResidentGrowth, "resident growth allowed")
        ->type_name("KIB");
    loadRun->add_option("--idle", given.idle, "quiet before each stretch")->type_name("T");
    loadRun->add_option("--tolerance", given.tolerance, "slowdown allowed")->type_name("PERCENT");
    loadRun->add_option("--latency-slack", given.latencySlack, "latency growth always allowed")
        ->type_name("MS");
    if (const auto done = kova::cli::parse(program, argc, argv, "bad arguments: ")) return *done;
    try {
        return program.got_subcommand(soakRun) ? soak(given) : load(given);
    } catch (const UsageError& error) {
        return kova::cli::refuse(program, std::string("bad arguments: ") + error.what());
    } catch (const kova::Error& error) {
        std::fprintf(stderr, "kova-soak: %s\n", error.what());
        return kFailed;
    } catch (const std::runtime_error& error) {
        std::fprintf(stderr, "kova-soak: %s\n", error.what());
        return kFailed;
    }
}
