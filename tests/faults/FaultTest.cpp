// Faults that only real processes show, end to end: a camera out of fds, and peers of another
// user on either side of the socket. Each time the camera tells the truth and goes on serving.
#include <sys/fsuid.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <sstream>
#include <tuple>

#include "base/MemFd.h"
#include "tests/harness/CameraProcess.h"

namespace kova::e2e {
namespace {

// Lines of the camera's log that contain `text`.
std::size_t linesWith(const std::string& log, const std::string& text) {
    std::size_t count = 0;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) count += line.find(text) != line.npos;
    return count;
}

// The lowest fd number `pid` has free.
int lowestFreeFd(pid_t pid) {
    std::set<int> open;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
        open.insert(std::stoi(entry.path().filename().string()));
    }
    int free = 0;
    while (open.count(free) != 0) ++free;
    return free;
}

TEST(Fds, ACameraOutOfFdsPausesAcceptingTellsTheTruthAndServesItsClients) {
    // A camera started with a lower soft limit on fds than its hard one takes all it may.
    rlimit own{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &own), 0);
    rlimit lowered{std::min<rlim_t>(own.rlim_cur, 256), own.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
    CameraProcess camera;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &own), 0);
    Viewer viewer = Viewer::open(camera.options());
    // The output runs, and its pool has what a steady viewer needs before no fd can be had.
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(viewer.next_frame(3000ms));
    RawClient sink(camera.socketPath());
    ASSERT_TRUE(sink.hello(wire::Role::Sink));
    rlimit original{};
    ASSERT_EQ(::prlimit(camera.pid(), RLIMIT_NOFILE, nullptr, &original), 0);
    EXPECT_EQ(original.rlim_cur, own.rlim_max);
    // Every fd number it may open is taken: it can open no more.
    rlimit full = original;
    full.rlim_cur = rlim_t(lowestFreeFd(camera.pid()));
    ASSERT_EQ(::prlimit(camera.pid(), RLIMIT_NOFILE, &full, nullptr), 0);

    // Clients that say Hello at once and do not wait for the Welcome.
    std::vector<wire::Connection> waiting;
    for (int i = 0; i < 4; ++i) {
        auto socket = wire::connectTo(camera.socketPath());
        ASSERT_TRUE(socket.ok()) << socket.failure().message;
        waiting.emplace_back(std::move(socket.value()), wire::Peer::Client);
        ASSERT_EQ(waiting.back().send(wire::Hello{.role = wire::Role::Info}), 0);
    }
    waitUntil([&] { return linesWith(camera.log(), "not accepting clients") != 0; });
    ASSERT_EQ(linesWith(camera.log(), "not accepting clients"), 1u) << camera.log();
    // The fd a client sends cannot be taken either, and it is told so: not that it sent too many.
    const base::UniqueFD memory = base::MemFd::create("e2e-no-room", kFrameBytes);
    const auto registered = sink.registerBuffer(memory.get(), frameLayout());
    const auto* refusal = std::get_if<wire::Error>(&registered);
    ASSERT_TRUE(refusal) << "registered without an fd";
    EXPECT_EQ(std::tuple(refusal->code, refusal->disconnecting),
              std::tuple(wire::ErrorCode::HostFailure, 0u));
    EXPECT_NE(wire::textOf(refusal->text).find("file descriptors"), std::string::npos)
        << wire::textOf(refusal->text);
    // Its viewer is served meanwhile, and the failed accepts are said once, not once each.
    for (int i = 0; i < 30; ++i) ASSERT_TRUE(viewer.next_frame(3000ms)) << "frame " << i;
    EXPECT_LE(linesWith(camera.log(), "Too many open files"), 1u);

    ASSERT_EQ(::prlimit(camera.pid(), RLIMIT_NOFILE, &original, nullptr), 0);
    EXPECT_TRUE(waitUntil([&] { return linesWith(camera.log(), "accepting clients again") == 1; }))
        << camera.log();
    for (wire::Connection& connection : waiting) {
        ASSERT_EQ(connection.waitReadable(5000), 1) << "a waiting client was never served";
        const auto answer = connection.receive().received;
        EXPECT_TRUE(answer && std::holds_alternative<wire::Welcome>(answer->message));
    }
    EXPECT_TRUE(
        std::holds_alternative<std::uint32_t>(sink.registerBuffer(memory.get(), frameLayout())));
}

// ---- peers of another user ----

// The user "nobody" on most systems; any uid other than the camera's would do.
constexpr uid_t kAnotherUid = 65534;

// Takes another user's credentials but keeps root's file-system identity, so that the process
// still reaches the test's private folders.
bool becomeAnotherUser() {
    if (::setresuid(-1, kAnotherUid, -1) != 0) return false;
    ::setfsuid(0);
    return ::setfsuid(-1) == 0;
}

// Runs `body` in a child process as another user and returns the child's exit code; `body` makes
// only system calls, as a child of a threaded process must.
int asAnotherUser(const std::function<int()>& body) {
    const pid_t child = ::fork();
    if (child == 0) _exit(becomeAnotherUser() ? body() : 120);
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

sockaddr_un addressOf(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    return address;
}

// A camera that hears a peer of another user says PermissionDenied and hangs up: its peer check
// reads the real credentials of the connecting process.
TEST(PeerCredentials, TheCameraRefusesAPeerOfAnotherUser) {
    if (::geteuid() != 0) GTEST_SKIP() << "a process of another uid needs root";
    CameraProcess camera;
    const sockaddr_un address = addressOf(camera.socketPath());
    // The child exits 0 when refused as it should be.
    const int refused = asAnotherUser([&] {
        const int socket = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address)) {
            return 110;
        }
        // A broken check then shows as a failure, not as a test that hangs until ctest kills it.
        const timeval timeout{10, 0};
        ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        wire::Error error;
        char more;
        const bool told = ::recv(socket, &error, sizeof error, 0) == ssize_t(sizeof error) &&
                          error.header.type == wire::MessageType::Error &&
                          error.code == wire::ErrorCode::PermissionDenied &&
                          error.disconnecting == 1;
        return told && ::recv(socket, &more, 1, 0) == 0 ? 0 : 111;
    });
    EXPECT_EQ(refused, 0) << "a peer of another uid was not refused with PermissionDenied";
    EXPECT_NE(camera.log().find("belongs to uid " + std::to_string(kAnotherUid)), std::string::npos)
        << camera.log();
    EXPECT_EQ(query_info(camera.options()).device_name, "Kova");
}

TEST(PeerCredentials, AClientSaysNothingToACameraOfAnotherUser) {
    if (::geteuid() != 0) GTEST_SKIP() << "a process of another uid needs root";
    TempFolder folder;
    const sockaddr_un address = addressOf(folder.file("impostor.sock"));
    // Made to listen by another user, whose credentials a client connecting to it so sees.
    const base::UniqueFD impostor(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    ASSERT_EQ(::bind(impostor.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address),
              0);
    ASSERT_EQ(asAnotherUser([&] { return ::listen(impostor.get(), 1); }), 0);
    try {
        query_info(ConnectOptions{address.sun_path});
        ADD_FAILURE() << "the client trusted a camera of another user";
    } catch (const Error& error) {
        EXPECT_EQ(error.code(), ErrorCode::Untrusted);
        EXPECT_NE(std::string(error.what()).find("of uid 65534"), std::string::npos)
            << error.what();
    }
    const base::UniqueFD client(::accept4(impostor.get(), nullptr, nullptr, SOCK_CLOEXEC));
    char heard;
    EXPECT_EQ(::recv(client.get(), &heard, 1, MSG_DONTWAIT), 0) << "the client said something";
}

}  // namespace
}  // namespace kova::e2e
