// kova-camera started by a service manager: it serves the socket it is handed, says when it is
// ready, leaves that socket in place when it ends, and gives its lines the journal's priorities
// when its stderr is the journal.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>

#include "base/UniqueFD.h"
#include "tests/harness/CameraProcess.h"

namespace kova::e2e {
namespace {

// A datagram socket at `path`, playing the service manager's notification socket.
base::UniqueFD notifySocket(const std::string& path) {
    base::UniqueFD socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    EXPECT_EQ(::bind(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    return socket;
}

// Waits for a notification on `socket` that contains `state` (e.g. "READY=1").
bool notified(const base::UniqueFD& socket, const std::string& state) {
    char text[4096];
    for (pollfd ready{socket.get(), POLLIN, 0}; ::poll(&ready, 1, 20'000) == 1;) {
        const ssize_t size = ::recv(socket.get(), text, sizeof text, 0);
        if (size > 0 &&
            std::string_view(text, std::size_t(size)).find(state) != std::string::npos) {
            return true;
        }
    }
    return false;
}

TEST(ServiceManager, AHandedOverSocketIsServedAndLeftInPlace) {
    const char* const activator = "/usr/bin/systemd-socket-activate";
    if (::access(activator, X_OK) != 0) GTEST_SKIP() << "systemd-socket-activate is not installed";
    TempFolder folder;
    const std::string socketPath = folder.file("camera.sock");
    const std::string notifyPath = folder.file("activated.notify");
    const base::UniqueFD notify = notifySocket(notifyPath);
    // The activator binds the socket, then runs the camera (with no KOVA_SOCKET) on the first
    // connection.
    ChildProcess camera = spawn(activator,
                                {"--seqpacket", "--listen=" + socketPath,
                                 "--setenv=NOTIFY_SOCKET=" + notifyPath, KOVA_CAMERA_EXECUTABLE},
                                "", folder.path(), "activator");
    ASSERT_TRUE(waitUntil(
        [&] { return readFile(camera.stderrPath()).find("Listening on") != std::string::npos; },
        20000ms))
        << readFile(camera.stderrPath());

    RawClient info(socketPath);
    ASSERT_TRUE(info.hello(wire::Role::Info));
    ASSERT_TRUE(notified(notify, "READY=1"));
    ASSERT_EQ(info.send(wire::InfoRequest{}), 0);
    const auto reply = info.expect<wire::InfoReply>();
    ASSERT_TRUE(reply);
    EXPECT_EQ(wire::textOf(reply->deviceName), "Kova");

    camera.signal(SIGTERM);
    EXPECT_EQ(camera.wait(), 0) << readFile(camera.stderrPath());
    EXPECT_TRUE(std::filesystem::exists(socketPath)) << "the service manager's socket was removed";
}

// The journal is told apart from any other stderr by the device and inode it names, as the
// service manager sets them.
TEST(ServiceManager, TheCameraSaysOnceWhereItServesWithPrioritiesOnlyWhenStderrIsTheJournal) {
    const struct {
        const char* name;
        const char* journalStream;  // shell words that set JOURNAL_STREAM, or unset it
        bool prioritised;
    } cases[] = {
        {"stderr is the journal", "export JOURNAL_STREAM=$(stat -L -c %d:%i /proc/self/fd/2)",
         true},
        {"the journal is another file", "export JOURNAL_STREAM=$(stat -L -c %d:%i /dev/null)",
         false},
        {"no journal", "unset JOURNAL_STREAM", false},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        TempFolder folder;
        const std::string socketPath = folder.file("camera.sock");
        ChildProcess camera = spawn(
            "/bin/sh",
            {"-c", std::string(each.journalStream) + " && exec \"$0\"", KOVA_CAMERA_EXECUTABLE},
            socketPath, folder.path(), "camera");
        // At info priority.
        const std::string served =
            (each.prioritised ? "<6>" : "") + ("kova-camera: serving on " + socketPath + "\n");
        ASSERT_TRUE(waitUntil(
            [&] { return readFile(camera.stderrPath()).find(served) != std::string::npos; },
            20000ms))
            << readFile(camera.stderrPath());
        // Said once it serves: a client is answered at once.
        RawClient client(socketPath);
        EXPECT_TRUE(client.hello(wire::Role::Info));

        camera.signal(SIGTERM);
        EXPECT_EQ(camera.wait(), 0) << readFile(camera.stderrPath());
        const std::string log = readFile(camera.stderrPath());
        EXPECT_EQ(log.find("serving on"), log.rfind("serving on")) << "said more than once:\n"
                                                                   << log;
        const std::regex line(each.prioritised ? "<[0-7]>kova-camera: .*" : "kova-camera: .*");
        std::istringstream lines(log);
        for (std::string text; std::getline(lines, text);) {
            EXPECT_TRUE(std::regex_match(text, line)) << text;
        }
    }
}

}  // namespace
}  // namespace kova::e2e
