// kova: the command-line client of the Kova camera (info, status, push, view, snapshot).
#include <cstdio>
#include <string>

#include "Arguments.h"
#include "Commands.h"
#include "cli/CommandLine.h"
#include "kova/kova.h"

namespace {

enum ExitStatus { kDone = 0, kFailed = 1, kBadArguments = kova::cli::kBadArguments };

int fail(const std::string& line, int status) {
    std::fprintf(stderr, "kova: %s\n", line.c_str());
    return status;
}

std::string describe(const kova::Error& error) {
    switch (error.code()) {
        case kova::ErrorCode::NoCamera:
            return std::string("no camera running (") + error.what() +
                   "); start one: systemctl --user start kova-camera.socket, or make run in "
                   "the source tree";
        case kova::ErrorCode::InvalidArgument:
            return std::string("bad arguments: ") + error.what();
        default:
            return error.what();
    }
}

}  // namespace

int main(int argc, char** argv) {
    using namespace kova::tool;
    CLI::App app("The command-line client of the Kova camera.", "kova");
    app.footer(
        "The camera's socket is $KOVA_SOCKET, else $XDG_RUNTIME_DIR/kova/camera.sock.\n"
        "Exit status: 0 done, 1 failed, 2 bad arguments.");
    kova::cli::addVersion(app);
    app.require_subcommand(1);

    InfoOptions info;
    CLI::App* infoCommand = app.add_subcommand("info", "what the camera publishes");
    infoCommand->add_flag("--json", info.json, "one line of JSON");

    StatusOptions status;
    CLI::App* statusCommand = app.add_subcommand(
        "status", "who uses the camera now: its producer, its viewers, what the output shows");
    statusCommand->add_flag("--json", status.json, "one line of JSON");
    statusCommand->add_flag("--watch", status.watch, "again every second, until stopped");

    PushOptions push;
    CLI::App* pushCommand = app.add_subcommand(
        "push",
        "push generated frames, a picture, or raw BGRA frames of 3072000 bytes each; then print "
        "frames pushed and dropped");
    pushCommand->add_option("--pattern", push.pattern, "bars (the default), gradient or counter");
    pushCommand->add_option("--input", push.input, "raw frames from FILE, or - for stdin")
        ->type_name("FILE");
    pushCommand
        ->add_option("--image", push.image,
                     "a PNG or JPEG (- for stdin) fitted into the frame, kept up until stopped")
        ->type_name("FILE");
    pushCommand->add_flag("--loop", push.loop, "start the --input file again at its end");
    pushCommand->add_flag("--take-over", push.takeOver,
                          "end the session of the producer that holds the sink");
    pushCommand->add_flag("--no-reconnect", push.noReconnect,
                          "end when the camera goes away, rather than wait for it");
    pushCommand->add_option("--count", push.count, "frames to push (default: until stopped)")
        ->type_name("N");
    pushCommand->add_option("--fps", push.fps, "frames a second (default: the stream's rate)")
        ->type_name("F");

    ViewOptions view;
    CLI::App* viewCommand = app.add_subcommand("view", "read frames from the camera's output");
    viewCommand->add_option("--count", view.count, "frames to read (default: until stopped)")
        ->type_name("N");
    viewCommand->add_option("--timeout", view.timeout, "seconds to wait for a frame (default 5)")
        ->type_name("S");
    viewCommand->add_option("--raw", view.raw, "the frames' pixels to FILE, or - for stdout")
        ->type_name("FILE");
    viewCommand->add_flag("--json", view.json, "a line of JSON a frame");
    viewCommand->add_flag("--no-reconnect", view.noReconnect,
                          "end when the camera goes away, rather than wait for it");

    SnapshotOptions snapshot;
    CLI::App* snapshotCommand = app.add_subcommand("snapshot", "one frame as a PNG or JPEG");
    snapshotCommand
        ->add_option("--timeout", snapshot.timeout, "seconds to wait for a frame (default 5)")
        ->type_name("S");
    snapshotCommand
        ->add_option("FILE", snapshot.path,
                     "the picture to write: .png, .jpg or .jpeg; - for a PNG on stdout")
        ->required();

    if (const auto done = kova::cli::parse(app, argc, argv, "bad arguments: ")) return *done;
    try {
        stopOnSignals();
        if (app.got_subcommand(infoCommand)) {
            runInfo(info);
        } else if (app.got_subcommand(statusCommand)) {
            runStatus(status);
        } else if (app.got_subcommand(pushCommand)) {
            runPush(push);
        } else if (app.got_subcommand(viewCommand)) {
            runView(view);
        } else {
            runSnapshot(snapshot);
        }
    } catch (const UsageError& error) {
        return kova::cli::refuse(app, std::string("bad arguments: ") + error.what());
    } catch (const kova::Error& error) {
        return fail(describe(error),
                    error.code() == kova::ErrorCode::InvalidArgument ? kBadArguments : kFailed);
    } catch (const CommandFailure& error) {
        return fail(error.what(), kFailed);
    }
    return kDone;
}
