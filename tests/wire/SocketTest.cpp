// Where the socket lives, who may listen on it, connecting to it and checking the peer's user.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "tests/harness/ChildProcess.h"
#include "tests/wire/WireTestSupport.h"

namespace kova::wire::test {
namespace {

EnvironmentLookup environment(std::map<std::string, std::string> variables) {
    return [variables = std::move(variables)](const char* name) -> const char* {
        const auto found = variables.find(name);
        return found == variables.end() ? nullptr : found->second.c_str();
    };
}

class SocketPathTest : public FdLeakCheck {};

TEST_F(SocketPathTest, OverrideThenRuntimeFolderThenTmp) {
    constexpr uid_t kUid = 1234;
    struct Case {
        std::map<std::string, std::string> variables;
        std::string path;
        bool privateFolder;
    };
    const Case cases[] = {
        {{{"KOVA_SOCKET", "/srv/cam.sock"}, {"XDG_RUNTIME_DIR", "/run/user/5"}},
         "/srv/cam.sock",
         false},
        {{{"KOVA_SOCKET", ""}, {"XDG_RUNTIME_DIR", "/run/user/5"}},
         "/run/user/5/kova/camera.sock",
         true},
        {{{"XDG_RUNTIME_DIR", "/run/user/5//"}}, "/run/user/5/kova/camera.sock", true},
        {{{"XDG_RUNTIME_DIR", "/"}}, "/kova/camera.sock", true},
        {{{"XDG_RUNTIME_DIR", "run/user/5"}}, "/tmp/kova-1234/camera.sock", true},
        {{{"XDG_RUNTIME_DIR", ""}}, "/tmp/kova-1234/camera.sock", true},
        {{}, "/tmp/kova-1234/camera.sock", true},
    };
    for (const Case& c : cases) {
        const SocketLocation location = resolveSocketPath(environment(c.variables), kUid);
        EXPECT_EQ(location.path, c.path);
        EXPECT_EQ(location.privateFolder, c.privateFolder) << c.path;
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
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    EXPECT_EQ(::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(socket.get(), 4), 0);
    if (!keepListening) socket.reset();
    return socket;
}

class SocketTest : public FdLeakCheck {
  protected:
    SocketLocation defaultLocation() const { return {folder() + "/camera.sock", true}; }
    std::string folder() const { return root_.file("kova"); }

    // Connects, accepts and trades a hello for a welcome.
    void expectServes(const Listener& listener) {
        base::Result<base::UniqueFD> clientSocket = connectTo(listener.path());
        ASSERT_TRUE(clientSocket.ok()) << clientSocket.failure().message;
        base::Result<base::UniqueFD> cameraSocket = listener.accept();
        ASSERT_TRUE(cameraSocket.ok()) << cameraSocket.failure().message;
        Connection client(std::move(clientSocket.value()), Peer::Client);
        Connection camera(std::move(cameraSocket.value()), Peer::Host);
        Hello hello;
        hello.role = Role::Info;
        ASSERT_EQ(client.send(hello), 0);
        ASSERT_EQ(camera.receive().status, ReceiveResult::Status::Message);
        Welcome welcome;
        welcome.role = Role::Info;
        ASSERT_EQ(camera.send(welcome), 0);
        ASSERT_EQ(client.receive().status, ReceiveResult::Status::Message);
    }

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
    struct Case {
        const char* what;
        std::function<std::shared_ptr<void>()> occupy;  // what it made, kept while it is tried
        std::string refusal;                            // the start of the message; empty: taken
    };
    const Case cases[] = {
        {"a camera",
         [&] { return std::shared_ptr<Listener>(std::move(*Listener::listen(defaultLocation()))); },
         "another kova-camera is already serving " + path},
        {"a listener that is not a camera (it holds no lock)",
         [&] { return std::make_shared<base::UniqueFD>(bindPlainSocket(path, true)); },
         "another process is already listening on " + path},
        {"a socket file nobody listens on",
         [&] { return std::make_shared<base::UniqueFD>(bindPlainSocket(path, false)); }, ""},
        {"a file that is not a socket",
         [&] {
             std::ofstream(path) << "keep me";
             return nullptr;
         },
         path + " exists and is not a socket"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
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
        if (occupant) {
            EXPECT_TRUE(connectTo(path).ok()) << "it no longer answers";
        }
    }
}

TEST_F(SocketTest, AListenerRemovesItsSocketSoTheNextCameraStartsCleanly) {
    Listener::listen(defaultLocation()).value().reset();
    EXPECT_FALSE(exists(defaultLocation().path));
    auto again = Listener::listen(defaultLocation());
    ASSERT_TRUE(again.ok()) << again.failure().message;
    expectServes(*again.value());
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

    // Only a listening SOCK_SEQPACKET socket bound to a path can be served.
    base::UniqueFD abstract(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    const sockaddr_un autobind{AF_UNIX, {}};  // the kernel picks an abstract name
    ASSERT_EQ(::bind(abstract.get(), reinterpret_cast<const sockaddr*>(&autobind),
                     sizeof autobind.sun_family),
              0);
    ASSERT_EQ(::listen(abstract.get(), 1), 0);
    std::pair<base::UniqueFD, const char*> refused[] = {
        {socketPair().first, "not listening"},
        {base::UniqueFD(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)), "SOCK_SEQPACKET"},
        {std::move(abstract), "not bound to a path"},
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

TEST_F(SocketTest, TheCameraServesOnlyItsOwnUser) {
    auto [camera, client] = socketPair();
    const uid_t me = ::getuid();
    PeerCheck foreign(me, [me](int, PeerIdentity& identity) {
        identity = PeerIdentity{4321, me + 1, 0};
        return 0;
    });
    base::Result<PeerIdentity> refused = foreign.check(camera.get());
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.failure().error, -EACCES);
    EXPECT_NE(
        refused.failure().message.find("process 4321 belongs to uid " + std::to_string(me + 1)),
        std::string::npos);
    PeerCheck unreadable(me, [](int, PeerIdentity&) { return -ENOTCONN; });
    EXPECT_EQ(unreadable.check(camera.get()).failure().error, -ENOTCONN);

    base::Result<PeerIdentity> real = PeerCheck(me).check(camera.get());
    ASSERT_TRUE(real.ok()) << real.failure().message;
    EXPECT_EQ(real.value().uid, me);
    EXPECT_EQ(real.value().pid, ::getpid());
}

TEST_F(SocketTest, AClientTrustsOnlyACameraOfItsOwnUserOrRoot) {
    auto [camera, client] = socketPair();
    const uid_t me = 1000;
    struct Case {
        uid_t servedBy;
        int readError;
        int expected;
    };
    for (const Case& test : {Case{me, 0, 0}, Case{0, 0, 0}, Case{me + 1, 0, -EACCES},
                             Case{me, -ENOTCONN, -ENOTCONN}}) {
        const auto failure =
            checkCamera(client.get(), "/run/x.sock", me, [&](int, PeerIdentity& id) {
                id = PeerIdentity{4321, test.servedBy, 0};
                return test.readError;
            });
        EXPECT_EQ(failure ? failure->error : 0, test.expected) << "served by uid " << test.servedBy;
        if (test.expected == -EACCES) {
            EXPECT_EQ(failure->message,
                      "/run/x.sock is served by process 4321 of uid 1001, not by this user (uid "
                      "1000) or root");
        }
    }
}

}  // namespace
}  // namespace kova::wire::test
