// kova: the command-line client of the Kova camera (info, push, view, snapshot).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Arguments.h"
#include "Commands.h"
#include "kova/kova.h"

namespace {

constexpr const char* kUsage =
    "usage: kova COMMAND [OPTIONS]\n"
    "\n"
    "  info [--json]                       what the camera publishes\n"
    "  push [--pattern bars|gradient|counter] [--input FILE|-] [--count N] [--fps F]\n"
    "                                      push generated frames, or raw BGRA frames of\n"
    "                                      3072000 bytes each; then print frames pushed and\n"
    "                                      dropped\n"
    "  view [--count N] [--timeout S] [--raw FILE|-] [--json]\n"
    "                                      read frames from the camera's output\n"
    "  snapshot [--timeout S] FILE.png     one frame as a PNG\n"
    "\n"
    "The camera's socket is $KOVA_SOCKET, else $XDG_RUNTIME_DIR/kova/camera.sock.\n"
    "Exit status: 0 done, 1 failed, 2 bad arguments.\n";

enum ExitStatus { kDone = 0, kFailed = 1, kBadArguments = 2 };

int fail(const std::string& line, int status) {
    std::fprintf(stderr, "kova: %s\n", line.c_str());
    return status;
}

std::string describe(const kova::Error& error) {
    switch (error.code()) {
        case kova::ErrorCode::NoCamera:
            return std::string("no camera running (") + error.what() + ")";
        case kova::ErrorCode::InvalidArgument:
            return std::string("bad arguments: ") + error.what();
        default:
            return error.what();
    }
}

}  // namespace

int main(int argc, char** argv) {
    using namespace kova::tool;
    std::vector<std::string> words(argv + std::min(argc, 2), argv + argc);
    const std::string command = argc >= 2 ? argv[1] : "";
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(kUsage, stdout);
        return kDone;
    }
    try {
        stopOnSignals();
        if (command == "info") {
            runInfo(words);
        } else if (command == "push") {
            runPush(words);
        } else if (command == "view") {
            runView(words);
        } else if (command == "snapshot") {
            runSnapshot(words);
        } else {
            throw UsageError(command.empty() ? "no command given"
                                             : "unknown command \"" + command + "\"");
        }
    } catch (const UsageError& error) {
        return fail(std::string("bad arguments: ") + error.what() + " (see kova --help)",
                    kBadArguments);
    } catch (const kova::Error& error) {
        return fail(describe(error),
                    error.code() == kova::ErrorCode::InvalidArgument ? kBadArguments : kFailed);
    } catch (const CommandFailure& error) {
        return fail(error.what(), kFailed);
    }
    return kDone;
}
