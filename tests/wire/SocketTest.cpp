// Where the socket lives, who may listen on it, connecting to it and checking the peer's user.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>

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
    EXPECT_EQ(::listen(socket.get(), 1), 0);
    if (!keepListening) socket.reset();
    return socket;
}

class SocketTest : public FdLeakCheck {
  protected:
    SocketTest() {
        char folder[] = "/tmp/kova-wire-test-XXXXXX";
        EXPECT_NE(::mkdtemp(folder), nullptr);
        root_ = folder;
    }
    ~SocketTest() override { std::filesystem::remove_all(root_); }

    SocketLocation defaultLocation() const { return {root_ + "/kova/camera.sock", true}; }

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

    std::string root_;
};

TEST_F(SocketTest, ListenCreatesAPrivateFolderAndServesOwnUser) {
    auto listening = Listener::listen(defaultLocation());
    ASSERT_TRUE(listening.ok()) << listening.failure().message;
    const Listener& listener = *listening.value();
    EXPECT_EQ(modeOf(root_ + "/kova") & 07777, 0700u);
    EXPECT_TRUE(S_ISDIR(modeOf(root_ + "/kova")));
    EXPECT_TRUE(S_ISSOCK(modeOf(listener.path())));
    EXPECT_EQ(listener.accept().failure().error, -EAGAIN) << "nobody is waiting yet";
    expectServes(listener);

    base::Result<base::UniqueFD> client = connectTo(listener.path());
    ASSERT_TRUE(client.ok());
    base::Result<base::UniqueFD> accepted = listener.accept();
    ASSERT_TRUE(accepted.ok());
    base::Result<PeerIdentity> peer = PeerCheck(::getuid()).check(accepted.value().get());
    ASSERT_TRUE(peer.ok()) << peer.failure().message;
    EXPECT_EQ(peer.value().uid, ::getuid());
    EXPECT_EQ(peer.value().pid, ::getpid());
}

TEST_F(SocketTest, DefaultFolderIsMadePrivateButAChosenOneIsLeftAsItIs) {
    ASSERT_EQ(::mkdir((root_ + "/kova").c_str(), 0755), 0);
    ASSERT_EQ(::chmod((root_ + "/kova").c_str(), 0755), 0);
    auto listening = Listener::listen(defaultLocation());
    ASSERT_TRUE(listening.ok()) << listening.failure().message;
    EXPECT_EQ(modeOf(root_ + "/kova") & 07777, 0700u);

    ASSERT_EQ(::mkdir((root_ + "/shared").c_str(), 0755), 0);
    ASSERT_EQ(::chmod((root_ + "/shared").c_str(), 0755), 0);
    auto chosen = Listener::listen({root_ + "/shared/cam.sock", false});
    ASSERT_TRUE(chosen.ok()) << chosen.failure().message;
    EXPECT_EQ(modeOf(root_ + "/shared") & 07777, 0755u);

    auto fresh = Listener::listen({root_ + "/fresh/cam.sock", false});
    ASSERT_TRUE(fresh.ok()) << fresh.failure().message;
    EXPECT_EQ(modeOf(root_ + "/fresh") & 07777, 0700u);
}

TEST_F(SocketTest, DefaultFolderThatIsALinkOrAnotherUsersIsRefused) {
    ASSERT_EQ(::mkdir((root_ + "/elsewhere").c_str(), 0700), 0);
    ASSERT_EQ(::symlink((root_ + "/elsewhere").c_str(), (root_ + "/kova").c_str()), 0);
    auto linked = Listener::listen(defaultLocation());
    ASSERT_FALSE(linked.ok());
    EXPECT_NE(linked.failure().message.find("is not a folder"), std::string::npos);

    if (::geteuid() != 0) GTEST_SKIP() << "handing a folder to another user needs root";
    ASSERT_EQ(::unlink((root_ + "/kova").c_str()), 0);
    ASSERT_EQ(::mkdir((root_ + "/kova").c_str(), 0700), 0);
    ASSERT_EQ(::chown((root_ + "/kova").c_str(), 4242, 4242), 0);
    auto foreign = Listener::listen(defaultLocation());
    ASSERT_FALSE(foreign.ok());
    EXPECT_EQ(foreign.failure().error, -EPERM);
    EXPECT_NE(foreign.failure().message.find("belongs to another user (uid 4242)"),
              std::string::npos);
}

TEST_F(SocketTest, SecondCameraOnALivePathIsRefusedAndTheFirstServesOn) {
    auto first = Listener::listen(defaultLocation());
    ASSERT_TRUE(first.ok()) << first.failure().message;
    auto second = Listener::listen(defaultLocation());
    ASSERT_FALSE(second.ok());
    EXPECT_EQ(second.failure().message,
              "another kova-camera is already serving " + defaultLocation().path);
    expectServes(*first.value());
}

TEST_F(SocketTest, LiveSocketWithoutTheLockIsNotTakenOver) {
    ASSERT_EQ(::mkdir((root_ + "/kova").c_str(), 0700), 0);
    const std::string path = defaultLocation().path;
    base::UniqueFD other = bindPlainSocket(path, true);
    auto listening = Listener::listen(defaultLocation());
    ASSERT_FALSE(listening.ok());
    // Not a camera (it holds no lock): the message says what it likely is.
    EXPECT_EQ(
        listening.failure().message.rfind("another process is already listening on " + path, 0), 0u)
        << listening.failure().message;
    EXPECT_NE(listening.failure().message.find("kova-camera.socket"), std::string::npos);
    EXPECT_TRUE(connectTo(path).ok()) << "the other socket still answers";
}

TEST_F(SocketTest, StaleSocketFileIsReplaced) {
    ASSERT_EQ(::mkdir((root_ + "/kova").c_str(), 0700), 0);
    bindPlainSocket(defaultLocation().path, false);
    ASSERT_TRUE(exists(defaultLocation().path));
    EXPECT_FALSE(connectTo(defaultLocation().path).ok());

    auto listening = Listener::listen(defaultLocation());
    ASSERT_TRUE(listening.ok()) << listening.failure().message;
    expectServes(*listening.value());
}

TEST_F(SocketTest, FileThatIsNotASocketIsLeftAlone) {
    ASSERT_EQ(::mkdir((root_ + "/kova").c_str(), 0700), 0);
    std::ofstream(defaultLocation().path) << "keep me";
    auto listening = Listener::listen(defaultLocation());
    ASSERT_FALSE(listening.ok());
    EXPECT_NE(listening.failure().message.find("exists and is not a socket"), std::string::npos);
    EXPECT_TRUE(S_ISREG(modeOf(defaultLocation().path)));
}

TEST_F(SocketTest, ListenerRemovesItsSocketSoTheNextCameraStartsCleanly) {
    {
        auto listening = Listener::listen(defaultLocation());
        ASSERT_TRUE(listening.ok()) << listening.failure().message;
    }
    EXPECT_FALSE(exists(defaultLocation().path));
    auto again = Listener::listen(defaultLocation());
    ASSERT_TRUE(again.ok()) << again.failure().message;
    expectServes(*again.value());
}

TEST_F(SocketTest, AHandedOverSocketIsServedLockedAndLeftInPlace) {
    const std::string path = root_ + "/activated.sock";
    auto adopted = Listener::adopt(bindPlainSocket(path, true));
    ASSERT_TRUE(adopted.ok()) << adopted.failure().message;
    EXPECT_EQ(adopted.value()->path(), path);
    expectServes(*adopted.value());
    // No second camera takes the path while the first serves it.
    EXPECT_EQ(Listener::listen({path, false}).failure().error, -EADDRINUSE);
    adopted.value().reset();
    EXPECT_TRUE(exists(path)) << "the service manager's socket file was removed";
}

TEST_F(SocketTest, OnlyAListeningSeqpacketSocketBoundToAPathIsAdopted) {
    auto [one, other] = socketPair();
    auto connected = Listener::adopt(std::move(one));
    ASSERT_FALSE(connected.ok());
    EXPECT_NE(connected.failure().message.find("not listening"), std::string::npos);

    base::UniqueFD stream(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    auto wrongType = Listener::adopt(std::move(stream));
    ASSERT_FALSE(wrongType.ok());
    EXPECT_NE(wrongType.failure().message.find("SOCK_SEQPACKET"), std::string::npos);

    // Bound to an abstract name the kernel picks: nothing in the file system to lock.
    base::UniqueFD abstract(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_EQ(::bind(abstract.get(), reinterpret_cast<const sockaddr*>(&address),
                     sizeof address.sun_family),
              0);
    ASSERT_EQ(::listen(abstract.get(), 1), 0);
    auto noPath = Listener::adopt(std::move(abstract));
    ASSERT_FALSE(noPath.ok());
    EXPECT_NE(noPath.failure().message.find("not bound to a path"), std::string::npos);
}

TEST_F(SocketTest, ConnectingWhereNoCameraServesSaysSo) {
    const std::string path = root_ + "/nothing.sock";
    base::Result<base::UniqueFD> connection = connectTo(path);
    ASSERT_FALSE(connection.ok());
    EXPECT_EQ(connection.failure().message, "no kova-camera is serving " + path);
}

TEST_F(SocketTest, PathsTooLongForASocketAddressAreRefused) {
    const std::string path = root_ + "/" + std::string(sizeof(sockaddr_un::sun_path), 'p');
    auto listening = Listener::listen({path, false});
    ASSERT_FALSE(listening.ok());
    EXPECT_EQ(listening.failure().error, -ENAMETOOLONG);
    EXPECT_EQ(connectTo(path).failure().error, -ENAMETOOLONG);
}

TEST_F(SocketTest, PeerOfAnotherUserIsRefused) {
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

    PeerIdentity real;
    ASSERT_EQ(readPeerCredentials(camera.get(), real), 0);
    EXPECT_EQ(real.uid, me);
    EXPECT_EQ(real.pid, ::getpid());
}

}  // namespace
}  // namespace kova::wire::test
