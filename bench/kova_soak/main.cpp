// kova-soak: soak and load runs against a kova-camera it starts on a private socket, with the
// camera's memory, fds, frame rates and latencies as figures.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "CameraChild.h"
#include "Runs.h"
#include "kova/kova.h"

namespace {

constexpr const char* kUsage =
    "usage: kova-soak soak [--duration T] [--interval T] [--warmup T] [--max-rss-growth KIB]\n"
    "                      [--camera PATH]\n"
    "       kova-soak load [--duration T] [--idle T] [--tolerance PERCENT] [--latency-slack MS]\n"
    "                      [--camera PATH]\n"
    "\n"
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
    "Exit status: 0 every bound held, 1 one did not or the run failed, 2 bad arguments.\n";

enum ExitStatus { kPassed = 0, kFailed = 1, kBadArguments = 2 };

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

// The options after the run's name, as name/value pairs.
std::vector<std::pair<std::string, std::string>> options(int argc, char** argv) {
    std::vector<std::pair<std::string, std::string>> pairs;
    for (int i = 2; i < argc; ++i) {
        std::string word = argv[i];
        if (word.rfind("--", 0) != 0) throw UsageError("unexpected \"" + word + "\"");
        if (const auto equals = word.find('='); equals != std::string::npos) {
            pairs.emplace_back(word.substr(0, equals), word.substr(equals + 1));
        } else if (i + 1 < argc) {
            pairs.emplace_back(word, argv[++i]);
        } else {
            throw UsageError(word + " wants a value");
        }
    }
    return pairs;
}

int soak(int argc, char** argv) {
    kova::soak::SoakOptions run;
    run.camera = kova::soak::CameraChild::besideThisProgram();
    for (const auto& [name, value] : options(argc, argv)) {
        if (name == "--duration") {
            run.duration = duration(name, value);
        } else if (name == "--interval") {
            run.interval = duration(name, value);
        } else if (name == "--warmup") {
            run.warmup = duration(name, value);
        } else if (name == "--max-rss-growth") {
            run.maxResidentGrowthKiB = std::uint64_t(std::llround(number(name, value)));
        } else if (name == "--camera") {
            run.camera = value;
        } else {
            throw UsageError("soak takes no " + name);
        }
    }
    if (run.warmup + run.interval > run.duration) {
        throw UsageError("--duration must leave a sample after the warm-up");
    }
    return kova::soak::runSoak(run);
}

int load(int argc, char** argv) {
    kova::soak::LoadOptions run;
    run.camera = kova::soak::CameraChild::besideThisProgram();
    for (const auto& [name, value] : options(argc, argv)) {
        if (name == "--duration") {
            run.duration = duration(name, value);
        } else if (name == "--idle") {
            run.idle = duration(name, value);
        } else if (name == "--tolerance") {
            run.tolerancePercent = number(name, value);
        } else if (name == "--latency-slack") {
            run.latencySlackMs = number(name, value);
        } else if (name == "--camera") {
            run.camera = value;
        } else {
            throw UsageError("load takes no " + name);
        }
    }
    return kova::soak::runLoad(run);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string run = argc >= 2 ? argv[1] : "";
    try {
        if (run == "soak") return soak(argc, argv);
        if (run == "load") return load(argc, argv);
        if (run == "--help" || run == "-h" || run == "help") {
            std::fputs(kUsage, stdout);
            return kPassed;
        }
        throw UsageError(run.empty() ? "no run named" : "unknown run \"" + run + "\"");
    } catch (const UsageError& error) {
        std::fprintf(stderr, "kova-soak: bad arguments: %s (see kova-soak --help)\n", error.what());
        return kBadArguments;
    } catch (const kova::Error& error) {
        std::fprintf(stderr, "kova-soak: %s\n", error.what());
        return kFailed;
    } catch (const std::runtime_error& error) {
        std::fprintf(stderr, "kova-soak: %s\n", error.what());
        return kFailed;
    }
}
