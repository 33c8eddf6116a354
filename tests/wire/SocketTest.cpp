// Where the socket lives, who may listen on it, connecting to it and checking the peer's user.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include "protocol/Wire.h"
#include "tests/harness/ChildProcess.h"
#include "tests/harness/FdCount.h"

namespace kova::wire::test {
namespace {

std::pair<base::UniqueFD, base::UniqueFD> socketPair() {
    int ends[2] = {-1, -1};
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends), 0);
    return {base::UniqueFD(ends[0]), base::UniqueFD(ends[1])};
}

TEST(SocketPathTest, OverrideThenRuntimeFolderThenTmp) {
    const struct {
        const char* socket;   // KOVA_SOCKET, null when unset
        const char* runtime;  // XDG_RUNTIME_DIR
        std::string path;
    } cases[] = {
        {"/srv/cam.sock", "/run/user/5", "/srv/cam.sock"},
        {"", "/run/user/5", "/run/user/5/kova/camera.sock"},
        {nullptr, "/run/user/5//", "/run/user/5/kova/camera.sock"},
        {nullptr, "/", "/kova/camera.sock"},
        {nullptr, "run/user/5", "/tmp/kova-1234/camera.sock"},
        {nullptr, "", "/tmp/kova-1234/camera.sock"},
        {nullptr, nullptr, "/tmp/kova-1234/camera.sock"},
    };
    for (const auto& c : cases) {
        const SocketLocation location = resolveSocketPath(
            [&](const char* name) {
                return std::string_view(name) == "KOVA_SOCKET" ? c.socket : c.runtime;
            },
            1234);
        EXPECT_EQ(location.path, c.path);
        // Only a folder of the camera's own choosing is made private.
        EXPECT_EQ(location.privateFolder, location.path != "/srv/cam.sock") << c.path;
    }
}

mode_t modeOf(const std::string& path) {
    struct stat status {};
    EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
    return status.st_mode;
}

bool exists(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0;
}

// A socket file at `path` with a listener that is not a camera; kept listening or closed.
base::UniqueFD bindPlainSocket(const std::string& path, bool keepListening) {
    base::UniqueFD socket(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    sockaddr_un address{AF_UNIX, {}};
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    EXPECT_EQ(::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(socket.get(), 4), 0);
    if (!keepListening) socket.reset();
    return socket;
}

class SocketTest : public ::testing::Test {
  protected:
    SocketLocation defaultLocation() const { return {folder() + "/camera.sock", true}; }
    std::string folder() const { return root_.file("kova"); }

    // A client connects, the listener accepts it, and a message gets across.
    void expectServes(const Listener& listener) {
        base::Result<base::UniqueFD> clientSocket = connectTo(listener.path());
        ASSERT_TRUE(clientSocket.ok()) << clientSocket.failure().message;
        base::Result<base::UniqueFD> cameraSocket = listener.accept();
        ASSERT_TRUE(cameraSocket.ok()) << cameraSocket.failure().message;
        ASSERT_EQ(Connection(std::move(clientSocket.value()), Peer::Client).send(Ping{}), 0);
        EXPECT_EQ(Connection(std::move(cameraSocket.value()), Peer::Host).receive().status,
                  ReceiveResult::Status::Message);
    }

    kova::testing::FdLeakGuard leakGuard_;
    kova::testing::TempFolder root_;
};

TEST_F(SocketTest, TheDefaultFolderIsMadePrivateAndAChosenOneIsLeftAsItIs) {
    ASSERT_EQ(::mkdir(folder().c_str(), 0755), 0);
    ASSERT_EQ(::chmod(folder().c_str(), 0755), 0);
    auto listening = Listener::listen(defaultLocation());
    ASSERT_TRUE(listening.ok()) << listening.failure().message;
    EXPECT_EQ(modeOf(folder()) & 07777, 0700u);
    EXPECT_TRUE(S_ISSOCK(modeOf(listening.value()->path())));
    EXPECT_EQ(listening.value()->accept().failure().error, -EAGAIN) << "nobody is waiting yet";
    expectServes(*listening.value());
    // A listener removes its socket, so that the next camera starts cleanly.
    listening.value().reset();
    EXPECT_FALSE(exists(defaultLocation().path));

    ASSERT_EQ(::mkdir(root_.file("shared").c_str(), 0755), 0);
    ASSERT_EQ(::chmod(root_.file("shared").c_str(), 0755), 0);
    auto chosen = Listener::listen({root_.file("shared/cam.sock"), false});
    ASSERT_TRUE(chosen.ok()) << chosen.failure().message;
    EXPECT_EQ(modeOf(root_.file("shared")) & 07777, 0755u);
    // One that does not exist yet is made private all the same.
    auto fresh = Listener::listen({root_.file("fresh/cam.sock"), false});
    ASSERT_TRUE(fresh.ok()) << fresh.failure().message;
    EXPECT_EQ(modeOf(root_.file("fresh")) & 07777, 0700u);
}

TEST_F(SocketTest, ADefaultFolderThatIsALinkOrAnotherUsersIsRefused) {
    ASSERT_EQ(::mkdir(root_.file("elsewhere").c_str(), 0700), 0);
    ASSERT_EQ(::symlink(root_.file("elsewhere").c_str(), folder().c_str()), 0);
    auto linked = Listener::listen(defaultLocation());
    ASSERT_FALSE(linked.ok());
    EXPECT_NE(linked.failure().message.find("is not a folder"), std::string::npos);

    if (::geteuid() != 0) GTEST_SKIP() << "handing a folder to another user needs root";
    ASSERT_EQ(::unlink(folder().c_str()), 0);
    ASSERT_EQ(::mkdir(folder().c_str(), 0700), 0);
    ASSERT_EQ(::chown(folder().c_str(), 4242, 4242), 0);
    auto foreign = Listener::listen(defaultLocation());
    ASSERT_FALSE(foreign.ok());
    EXPECT_EQ(foreign.failure().error, -EPERM);
    EXPECT_NE(foreign.failure().message.find("belongs to another user (uid 4242)"),
              std::string::npos);
}

TEST_F(SocketTest, WhatAlreadyLiesAtThePathIsTakenOverOnlyIfItIsADeadSocket) {
    const std::string path = defaultLocation().path;
    const struct {
        std::function<std::shared_ptr<void>()> occupy;  // what it made, kept while it is tried
        std::string refusal;                            // the start of the message; empty: taken
    } cases[] = {
        {[&] { return std::shared_ptr<Listener>(std::move(*Listener::listen(defaultLocation()))); },
         "another kova-camera is already serving " + path},
        // A listener that is not a camera holds no lock.
        {[&] { return std::make_shared<base::UniqueFD>(bindPlainSocket(path, true)); },
         "another process is already listening on " + path},
        {[&] { return std::make_shared<base::UniqueFD>(bindPlainSocket(path, false)); }, ""},
        {[&] {
             std::ofstream(path) << "keep me";
             return nullptr;
         },
         path + " exists and is not a socket"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.refusal);
        std::filesystem::remove_all(folder());
        ASSERT_EQ(::mkdir(folder().c_str(), 0700), 0);
        const std::shared_ptr<void> occupant = test.occupy();
        auto listening = Listener::listen(defaultLocation());
        if (test.refusal.empty()) {
            ASSERT_TRUE(listening.ok()) << listening.failure().message;
            expectServes(*listening.value());
            continue;
        }
        ASSERT_FALSE(listening.ok());
        EXPECT_EQ(listening.failure().message.rfind(test.refusal, 0), 0u)
            << listening.failure().message;
        EXPECT_TRUE(exists(path)) << "what was there was removed";
        EXPECT_TRUE(!occupant || connectTo(path).ok()) << "it no longer answers";
    }
}

TEST_F(SocketTest, AHandedOverSocketIsServedLockedAndLeftInPlace) {
    const std::string path = root_.file("activated.sock");
    auto adopted = Listener::adopt(bindPlainSocket(path, true));
    ASSERT_TRUE(adopted.ok()) << adopted.failure().message;
    EXPECT_EQ(adopted.value()->path(), path);
    expectServes(*adopted.value());
    EXPECT_EQ(Listener::listen({path, false}).failure().error, -EADDRINUSE) << "a second camera";
    adopted.value().reset();
    EXPECT_TRUE(exists(path)) << "the service manager's socket file was removed";

    // Only a listening SOCK_SEQPACKET socket can be served.
    std::pair<base::UniqueFD, const char*> refused[] = {
        {socketPair().first, "not listening"},
        {base::UniqueFD(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)), "SOCK_SEQPACKET"},
    };
    for (auto& [socket, why] : refused) {
        auto taken = Listener::adopt(std::move(socket));
        ASSERT_FALSE(taken.ok()) << why;
        EXPECT_NE(taken.failure().message.find(why), std::string::npos) << taken.failure().message;
    }
}

TEST_F(SocketTest, ConnectingWhereNoCameraServesOrToAPathTooLongSaysSo) {
    const std::string path = root_.file("nothing.sock");
    EXPECT_EQ(connectTo(path).failure().message, "no kova-camera is serving " + path);

    // A path that fills the address leaves no room for its terminator.
    std::string tooLong = root_.file("");
    tooLong.resize(sizeof(sockaddr_un::sun_path), 'p');
    EXPECT_EQ(Listener::listen({tooLong, false}).failure().error, -ENAMETOOLONG);
    EXPECT_EQ(connectTo(tooLong).failure().error, -ENAMETOOLONG);
}

// Both ends check the other's user: the camera serves only its own, a client trusts only a
// camera of its own user or root.
TEST_F(SocketTest, EachEndAcceptsOnlyAPeerOfItsOwnUser) {
    auto [camera, client] = socketPair();
    const auto peer = [](uid_t uid, int readError) {
        return [=](int, PeerIdentity& identity) {
            identity = PeerIdentity{4321, uid, 0};
            return readError;
        };
    };
    const struct {
        uid_t peer;
        int readError, cameraSays, clientSays;
    } cases[] = {{1000, 0, 0, 0},
                 {0, 0, -EACCES, 0},
                 {1001, 0, -EACCES, -EACCES},
                 {1000, -ENOTCONN, -ENOTCONN, -ENOTCONN}};
    for (const auto& c : cases) {
        const auto served = PeerCheck(1000, peer(c.peer, c.readError)).check(camera.get());
        EXPECT_EQ(served.ok() ? 0 : served.failure().error, c.cameraSays) << c.peer;
        const auto trusted =
            checkCamera(client.get(), "/run/x.sock", 1000, peer(c.peer, c.readError));
        EXPECT_EQ(trusted ? trusted->error : 0, c.clientSays) << c.peer;
    }
    EXPECT_EQ(PeerCheck(1000, peer(1001, 0)).check(camera.get()).failure().message,
              "process 4321 belongs to uid 1001, not to the camera's user (uid 1000)");
    EXPECT_EQ(checkCamera(client.get(), "/run/x.sock", 1000, peer(1001, 0))->message,
              "/run/x.sock is served by process 4321 of uid 1001, not by this user (uid 1000) or "
              "root");

    // The credentials the kernel gives are this process's own.
    base::Result<PeerIdentity> real = PeerCheck(::getuid()).check(camera.get());
    ASSERT_TRUE(real.ok()) << real.failure().message;
    EXPECT_EQ(real.value().uid, ::getuid());
    EXPECT_EQ(real.value().pid, ::getpid());
}

}  // namespace
}  // namespace kova::wire::test
