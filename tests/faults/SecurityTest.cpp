// Security, end to end: only the owning user reaches the camera's socket (the folder's mode, and
// the peer check against a process of another uid), no client can make the camera map memory
// that could change size under it or is smaller than its frame, and every limit is answered
// with an error while the camera goes on serving.
#include <fcntl.h>
#include <signal.h>
#include <sys/fsuid.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>

#include "FaultSupport.h"
#include "Footprint.h"
#include "base/MemFd.h"

namespace kova::faults {
namespace {

using e2e::RawClient;
using e2e::waitUntil;

// The user "nobody" on most systems; any uid other than the camera's would do.
constexpr uid_t kAnotherUid = 65534;

// Sets an environment variable for the life of the object.
class ScopedEnvironment {
  public:
    ScopedEnvironment(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnvironment() {
        if (old_) {
            ::setenv(name_, old_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }

  private:
    const char* name_;
    std::optional<std::string> old_;
};

// Runs `body` in a child process under `become` (which changes its credentials) and returns the
// child's exit code; `body` makes only system calls, as a child of a threaded process must.
int inChild(const std::function<bool()>& become, const std::function<int()>& body) {
    const pid_t child = ::fork();
    if (child == 0) _exit(become() ? body() : 120);
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

// A broken check then shows as a failure, not as a test that hangs until ctest kills it.
void giveUpReadingAfterAWhile(int socket) {
    const timeval timeout{10, 0};
    ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}

// What a process that connected to `path` was told: 0 for a PermissionDenied that ends the
// connection, otherwise the errno of a failed connect() (or 110 and up for other outcomes).
int connectAndReadRefusal(const sockaddr_un& address) {
    const int socket = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return errno;
    }
    giveUpReadingAfterAWhile(socket);
    wire::Error error;
    const ssize_t size = ::recv(socket, &error, sizeof error, 0);
    if (size != ssize_t(sizeof error) || error.header.type != wire::MessageType::Error) return 110;
    if (error.code != wire::ErrorCode::PermissionDenied) return 111;
    if (error.disconnecting == 0) return 112;
    // Then the camera hangs up.
    char more;
    return ::recv(socket, &more, 1, 0) == 0 ? 0 : 113;
}

TEST(Security, OnlyTheOwningUserReachesTheSocket) {
    e2e::TempFolder runtime;
    // The camera's default place: $XDG_RUNTIME_DIR/kova/camera.sock (an empty KOVA_SOCKET is
    // no KOVA_SOCKET).
    ScopedEnvironment xdg("XDG_RUNTIME_DIR", runtime.path());
    e2e::ChildProcess camera = e2e::spawn(KOVA_CAMERA_EXECUTABLE, {}, "", runtime.path(), "camera");
    const std::string folder = runtime.file("kova");
    const std::string socketPath = folder + "/camera.sock";
    ASSERT_TRUE(
        waitUntil([&] { return wire::connectTo(socketPath).ok() || !camera.running(); }, 20000ms) &&
        camera.running())
        << e2e::readFile(camera.stderrPath());

    struct stat status {};
    ASSERT_EQ(::stat(folder.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0700u) << "the socket's folder is open to others";
    EXPECT_EQ(status.st_uid, ::geteuid());

    if (::geteuid() == 0) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
        // Another user cannot even reach the socket through its folder.
        const int reached =
            inChild([] { return ::setresuid(kAnotherUid, kAnotherUid, kAnotherUid) == 0; },
                    [&] { return connectAndReadRefusal(address); });
        EXPECT_EQ(reached, EACCES) << "another user got through the socket's folder";
        // One that gets past the folder (its file-system identity keeps root's right to read
        // any file, its credentials are another user's) is refused by the camera's peer check.
        const int refused = inChild(
            [] {
                if (::setresuid(-1, kAnotherUid, -1) != 0) return false;
                ::setfsuid(0);
                return ::setfsuid(-1) == 0;
            },
            [&] { return connectAndReadRefusal(address); });
        EXPECT_EQ(refused, 0) << "a peer of another uid was not refused with PermissionDenied";
        const std::string log = e2e::readFile(camera.stderrPath());
        EXPECT_NE(log.find("belongs to uid " + std::to_string(kAnotherUid)), std::string::npos)
            << log;
        // The owner is still served.
        EXPECT_EQ(query_info(ConnectOptions{socketPath}).device_name, "Kova");
    }
    camera.signal(SIGTERM);
    EXPECT_EQ(camera.wait(), 0) << e2e::readFile(camera.stderrPath());
    if (::geteuid() != 0) {
        GTEST_SKIP() << "checked the folder's mode only: a process of another uid needs root";
    }
}

// What a client is told when it asks the camera at the default place, or nothing if it is served.
std::string refusalAtDefaultPlace() {
    const ScopedEnvironment noOverride("KOVA_SOCKET", "");
    try {
        return query_info().device_name == "Kova" ? "" : "another camera";
    } catch (const Error& error) {
        return error.code() == ErrorCode::Untrusted ? error.what() : "not refused as untrusted";
    }
}

TEST(Security, AClientTrustsTheDefaultFolderOnlyIfItIsItsOwnAndPrivate) {
    e2e::TempFolder runtime, elsewhere;
    const ScopedEnvironment xdg("XDG_RUNTIME_DIR", runtime.path());
    const std::string folder = runtime.file("kova");
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    // A camera serving the default place, which a socket named outright may be anywhere.
    e2e::ChildProcess camera =
        e2e::spawn(KOVA_CAMERA_EXECUTABLE, {}, folder + "/camera.sock", runtime.path(), "camera");
    ASSERT_TRUE(waitUntil([&] { return wire::connectTo(folder + "/camera.sock").ok(); }, 20000ms))
        << e2e::readFile(camera.stderrPath());
    ASSERT_EQ(refusalAtDefaultPlace(), "");

    struct Case {
        const char* what;
        std::function<void()> make, undo;
        const char* toldOf;
    };
    const std::string moved = elsewhere.file("kova");
    std::vector<Case> cases{
        {"open to others", [&] { EXPECT_EQ(::chmod(folder.c_str(), 0755), 0); },
         [&] { EXPECT_EQ(::chmod(folder.c_str(), 0700), 0); }, "open to other users (mode 0755)"},
        {"a link to a private folder",
         [&] {
             EXPECT_EQ(::rename(folder.c_str(), moved.c_str()), 0);
             EXPECT_EQ(::symlink(moved.c_str(), folder.c_str()), 0);
         },
         [&] {
             EXPECT_EQ(::unlink(folder.c_str()), 0);
             EXPECT_EQ(::rename(moved.c_str(), folder.c_str()), 0);
         },
         "is a symbolic link"},
    };
    if (::geteuid() == 0) {
        cases.push_back(
            {"another user's", [&] { EXPECT_EQ(::chown(folder.c_str(), kAnotherUid, -1), 0); },
             [&] { EXPECT_EQ(::chown(folder.c_str(), 0, -1), 0); }, "belongs to uid 65534"});
    }
    for (const Case& test : cases) {
        test.make();
        const std::string refusal = refusalAtDefaultPlace();
        EXPECT_NE(refusal.find(test.toldOf), std::string::npos) << test.what << ": " << refusal;
        test.undo();
        EXPECT_EQ(refusalAtDefaultPlace(), "") << test.what << ": not served once mended";
    }
    camera.signal(SIGTERM);
    EXPECT_EQ(camera.wait(), 0) << e2e::readFile(camera.stderrPath());
}

TEST(Security, AClientSaysNothingToACameraOfAnotherUser) {
    if (::geteuid() != 0) GTEST_SKIP() << "a process of another uid needs root";
    e2e::TempFolder folder;
    ASSERT_EQ(::chmod(folder.path().c_str(), 0777), 0);
    // The impostor must reach its folder: every folder above it must let others through.
    for (auto above = std::filesystem::path(folder.path()).parent_path(); above != "/";
         above = above.parent_path()) {
        struct stat status {};
        if (::stat(above.c_str(), &status) != 0 || (status.st_mode & S_IXOTH) == 0) {
            GTEST_SKIP() << above << " keeps other users out";
        }
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = folder.file("impostor.sock");
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    int ready[2];
    ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
    // The impostor: listens as another user, and exits 0 if its client hangs up unheard.
    const pid_t impostor = ::fork();
    if (impostor == 0) {
        if (::setresuid(kAnotherUid, kAnotherUid, kAnotherUid) != 0) _exit(120);
        const int listener = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
        if (::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener, 1) != 0) {
            _exit(121);
        }
        if (::write(ready[1], "r", 1) != 1) _exit(123);
        const int client = ::accept(listener, nullptr, nullptr);
        giveUpReadingAfterAWhile(client);
        char heard[256];
        _exit(client >= 0 && ::recv(client, heard, sizeof heard, 0) == 0 ? 0 : 122);
    }
    ::close(ready[1]);
    char byte;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1) << "the impostor did not listen";
    ::close(ready[0]);
    std::string refusal;
    try {
        query_info(ConnectOptions{path});
    } catch (const Error& error) {
        EXPECT_EQ(error.code(), ErrorCode::Untrusted);
        refusal = error.what();
    }
    EXPECT_NE(refusal.find("of uid 65534"), std::string::npos) << refusal;
    int status = 0;
    ASSERT_EQ(::waitpid(impostor, &status, 0), impostor);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "the impostor heard the client (status " << status << ")";
}

// Memory a client offers the camera.
struct OfferedMemory {
    const char* what;
    std::function<base::UniqueFD(const std::string& name, const e2e::TempFolder& folder)> make;
    wire::FrameLayout layout;
    bool accepted;
};

base::UniqueFD memfdSealedWith(const std::string& name, std::size_t size, unsigned seals) {
    base::UniqueFD memory(::memfd_create(name.c_str(), MFD_CLOEXEC | MFD_ALLOW_SEALING));
    EXPECT_EQ(::ftruncate(memory.get(), off_t(size)), 0);
    EXPECT_EQ(::fcntl(memory.get(), F_ADD_SEALS, seals), 0);
    return memory;
}

TEST(Security, NoClientCanRegisterMemoryThatAViewerCouldNotMapSafely) {
    e2e::CameraProcess camera;
    const wire::FrameLayout frame = e2e::frameLayout();
    wire::FrameLayout larger = frame;
    larger.size = kFrameBytes + 4096;
    wire::FrameLayout largest = frame;
    largest.size = wire::kMaxBufferBytes;
    std::vector<OfferedMemory> offers{
        {"sealed against shrinking only",
         [](const std::string& name, const auto&) {
             return memfdSealedWith(name, kFrameBytes, F_SEAL_SHRINK | F_SEAL_SEAL);
         },
         frame, false},
        {"sealed against growing only",
         [](const std::string& name, const auto&) {
             return memfdSealedWith(name, kFrameBytes, F_SEAL_GROW | F_SEAL_SEAL);
         },
         frame, false},
        {"sealed, a page short of the frame",
         [](const std::string& name, const auto&) {
             return base::MemFd::create(name.c_str(), kFrameBytes - 4096);
         },
         frame, false},
        {"sealed, a page short of the size its layout claims",
         [](const std::string& name, const auto&) {
             return base::MemFd::create(name.c_str(), kFrameBytes);
         },
         larger, false},
        {"shared memory that can never be sealed",
         [](const std::string& name, const auto&) {
             base::UniqueFD memory(::memfd_create(name.c_str(), MFD_CLOEXEC));
             EXPECT_EQ(::ftruncate(memory.get(), kFrameBytes), 0);
             return memory;
         },
         frame, false},
        {"a file",
         [](const std::string&, const e2e::TempFolder& folder) {
             base::UniqueFD file(
                 ::open(folder.path().c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
             EXPECT_EQ(::ftruncate(file.get(), kFrameBytes), 0);
             return file;
         },
         frame, false},
        {"sealed, reopened write-only (no viewer could map it)",
         [](const std::string& name, const auto&) {
             const base::UniqueFD memory = base::MemFd::create(name.c_str(), kFrameBytes);
             return base::UniqueFD(::open(("/proc/self/fd/" + std::to_string(memory.get())).c_str(),
                                          O_WRONLY | O_CLOEXEC));
         },
         frame, false},
        {"sealed, reopened read-only",
         [](const std::string& name, const auto&) {
             const base::UniqueFD memory = base::MemFd::create(name.c_str(), kFrameBytes);
             return base::UniqueFD(::open(("/proc/self/fd/" + std::to_string(memory.get())).c_str(),
                                          O_RDONLY | O_CLOEXEC));
         },
         frame, true},
        {"sealed, as large as a buffer may be",
         [](const std::string& name, const auto&) {
             return base::MemFd::create(name.c_str(), wire::kMaxBufferBytes);
         },
         largest, true},
    };
    // Huge pages may be out when a viewer maps them; a kernel without them skips the case.
    if (base::UniqueFD probe(::memfd_create("probe", MFD_HUGETLB | MFD_ALLOW_SEALING)); probe) {
        offers.insert(
            offers.begin(),
            {"sealed, in huge pages",
             [](const std::string& name, const auto&) {
                 base::UniqueFD memory(
                     ::memfd_create(name.c_str(), MFD_CLOEXEC | MFD_HUGETLB | MFD_ALLOW_SEALING));
                 const off_t hugePage = 2 << 20;
                 EXPECT_EQ(
                     ::ftruncate(memory.get(), (off_t(kFrameBytes) + hugePage) & ~(hugePage - 1)),
                     0);
                 EXPECT_EQ(::fcntl(memory.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW), 0);
                 return memory;
             },
             frame, false});
    }
    Bystanders bystanders(camera.options());
    ASSERT_TRUE(bystanders.flowing());
    bystanders.startStretch();
    std::vector<std::unique_ptr<RawClient>> clients;  // kept, with what they registered
    for (std::size_t i = 0; i < offers.size(); ++i) {
        const OfferedMemory& offer = offers[i];
        const std::string name = "e2e-offer-" + std::to_string(i);
        auto client = std::make_unique<RawClient>(camera.socketPath());
        ASSERT_TRUE(client->hello(wire::Role::Sink)) << offer.what;
        const base::UniqueFD memory = offer.make(name, camera.folder());
        ASSERT_TRUE(memory) << offer.what;
        const auto registered = client->registerBuffer(memory.get(), offer.layout);
        if (offer.accepted) {
            EXPECT_TRUE(std::holds_alternative<std::uint32_t>(registered)) << offer.what;
        } else if (const auto* error = std::get_if<wire::Error>(&registered)) {
            EXPECT_EQ(error->code, wire::ErrorCode::BadBuffer) << offer.what;
            EXPECT_FALSE(wire::textOf(error->text).empty()) << offer.what;
            EXPECT_EQ(error->disconnecting, 0u) << offer.what;
            // Closed before the answer went out.
            EXPECT_EQ(camera.fdsNaming(name), 0u) << offer.what << ": the camera kept it";
            EXPECT_EQ(soak::mappingsNaming(camera.pid(), name), 0u)
                << offer.what << ": the camera mapped it";
        } else {
            ADD_FAILURE() << offer.what << ": accepted";
        }
        clients.push_back(std::move(client));
    }
    // What it did accept, it maps read-only, and lets go with the client.
    std::ifstream maps("/proc/" + std::to_string(camera.pid()) + "/maps");
    for (std::string line; std::getline(maps, line);) {
        if (line.find("/memfd:e2e-offer-") == std::string::npos) continue;
        EXPECT_EQ(line.substr(line.find(' ') + 1, 2), "r-") << line;
    }
    clients.clear();
    EXPECT_TRUE(waitUntil([&] { return camera.fdsNaming("/memfd:e2e-offer-") == 0; }));
    EXPECT_EQ(query_info(camera.options()).device_name, "Kova");
    bystanders.expectFullRate("while memory was offered");
    bystanders.stopAndExpectAllCounted();
}

// ---- limits ----

// A viewer is handed the fds of the camera's own buffers and of a producer's; whichever it
// holds, it can read the pixels and never change them under the other viewers.
TEST(Security, NoViewerCanWriteIntoTheFramesItIsShown) {
    e2e::CameraProcess camera;
    RawClient viewer(camera.socketPath());
    ASSERT_TRUE(viewer.hello(wire::Role::View));
    ASSERT_EQ(viewer.send(wire::ViewStart{}), 0);
    ASSERT_TRUE(viewer.expect<wire::ViewStarted>());
    std::optional<Producer> producer;
    std::set<wire::FrameOrigin> tried;
    for (int frames = 0; tried.size() < 2 && frames < 200; ++frames) {
        auto received = viewer.receive();
        ASSERT_TRUE(received) << "frames stopped coming";
        const auto* frame = std::get_if<wire::Frame>(&received->message);
        if (frame == nullptr) continue;
        if (received->fd && tried.insert(frame->origin).second) {
            const int fd = received->fd.get();
            SCOPED_TRACE(frame->origin == wire::FrameOrigin::Sink ? "a producer's frame"
                                                                  : "a placeholder frame");
            errno = 0;
            void* writable =
                ::mmap(nullptr, kFrameBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            EXPECT_EQ(writable, MAP_FAILED) << "the viewer mapped the frame for writing";
            EXPECT_EQ(errno, EPERM);
            if (writable != MAP_FAILED) ::munmap(writable, kFrameBytes);
            const std::uint8_t byte = 0;
            EXPECT_EQ(::pwrite(fd, &byte, 1, 0), -1) << "the viewer wrote into the frame";
            EXPECT_TRUE(base::MemoryMapping::create(fd, kFrameBytes, false))
                << "nor can it read it";
        }
        wire::Release release;
        release.token = frame->token;
        ASSERT_EQ(viewer.send(release), 0);
        if (!producer) {
            producer.emplace(Producer::open(camera.options()));
        }
        producer->push(producer->acquire());
    }
    EXPECT_EQ(tried.size(), 2u) << "no frame of each origin came";
}

TEST(Limits, RegisteredBuffersPerClient) {
    e2e::CameraProcess camera;
    RawClient client(camera.socketPath());
    ASSERT_TRUE(client.hello(wire::Role::Sink));
    std::vector<base::UniqueFD> memory;
    std::vector<std::uint32_t> ids;
    auto offer = [&] {
        memory.push_back(base::MemFd::create("e2e-limit", kFrameBytes));
        return client.registerBuffer(memory.back().get(), e2e::frameLayout());
    };
    for (std::uint32_t i = 0; i < wire::kMaxRegisteredBuffersPerClient; ++i) {
        const auto registered = offer();
        ASSERT_TRUE(std::holds_alternative<std::uint32_t>(registered)) << "buffer " << i;
        ids.push_back(std::get<std::uint32_t>(registered));
    }
    const auto oneMore = offer();
    ASSERT_TRUE(std::holds_alternative<wire::Error>(oneMore)) << "a buffer past the limit";
    EXPECT_EQ(std::get<wire::Error>(oneMore).code, wire::ErrorCode::LimitReached);
    EXPECT_EQ(std::get<wire::Error>(oneMore).disconnecting, 0u);
    EXPECT_EQ(camera.fdsNaming("/memfd:e2e-limit"), wire::kMaxRegisteredBuffersPerClient)
        << "the camera kept the refused buffer";
    // One given back makes room for one more.
    wire::UnregisterBuffer unregister;
    unregister.bufferId = ids.front();
    ASSERT_EQ(client.send(unregister), 0);
    EXPECT_TRUE(std::holds_alternative<std::uint32_t>(offer()));
}

// Whether the process is stopped by a signal.
bool isStopped(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto state = line.find(") ");
    return state != std::string::npos && line.substr(state + 2, 1) == "T";
}

TEST(Limits, SinkQueue) {
    e2e::CameraProcess camera;
    RawClient client(camera.socketPath());
    ASSERT_TRUE(client.hello(wire::Role::Sink));
    const auto ids = client.startSink(wire::kMaxRegisteredBuffersPerClient);
    ASSERT_EQ(ids.size(), wire::kMaxRegisteredBuffersPerClient);
    // All pushes arrive before the camera reads one, so the relay takes one and the rest queue.
    ::kill(camera.pid(), SIGSTOP);
    ASSERT_TRUE(waitUntil([&] { return isStopped(camera.pid()); }));
    const std::uint64_t now = host_time_now();
    for (const std::uint32_t id : ids) ASSERT_EQ(client.send(e2e::pushAt(id, now)), 0);
    ::kill(camera.pid(), SIGCONT);

    std::uint64_t queueFull = 0, returned = 0;
    EXPECT_TRUE(waitUntil([&] {
        while (auto received = client.receive(10ms)) {
            if (const auto* refusal = std::get_if<wire::PushRefused>(&received->message)) {
                EXPECT_EQ(refusal->reason, wire::PushRefusal::QueueFull);
                EXPECT_LE(refusal->framesQueued, wire::kSinkQueueSize);
                ++queueFull;
            } else if (std::holds_alternative<wire::BufferReturned>(received->message)) {
                ++returned;
            }
        }
        return queueFull + returned == ids.size();
    }));
    // The queue's worth, and the one the relay was waiting for.
    EXPECT_LE(returned, wire::kSinkQueueSize + 1);
    EXPECT_GE(returned, wire::kSinkQueueSize);
    EXPECT_EQ(queueFull, ids.size() - returned);
}

TEST(Limits, SizesAtAndPastTheirEdges) {
    e2e::CameraProcess camera;
    struct Case {
        const char* what;
        std::vector<std::uint8_t> bytes;
        std::size_t fds;
        wire::ErrorCode expected;
        bool disconnecting;
    };
    auto bytesOf = [](const auto& message) {
        const auto* first = reinterpret_cast<const std::uint8_t*>(&message);
        return std::vector<std::uint8_t>(first, first + sizeof message);
    };
    auto registration = [&](auto change) {
        wire::RegisterBuffer request;
        request.cookie = 5;
        request.layout = e2e::frameLayout();
        change(request.layout);
        return bytesOf(request);
    };
    const std::vector<Case> cases{
        {"a packet one byte larger than a message may be",
         std::vector<std::uint8_t>(wire::kMaxMessageSize + 1, 0), 0,
         wire::ErrorCode::ProtocolViolation, true},
        {"one fd more than a message may carry", registration([](auto&) {}),
         wire::kMaxFdsPerMessage + 1, wire::ErrorCode::ProtocolViolation, true},
        {"a frame one pixel wider than the largest", registration([](auto& l) {
             l.width = wire::kMaxFrameDimension + 1;
             l.bytesPerRow = l.width * 4;
             l.size = std::uint64_t(l.bytesPerRow) * l.height;
         }),
         1, wire::ErrorCode::ProtocolViolation, true},
        {"a frame as wide as the largest (not the stream's size)", registration([](auto& l) {
             l.width = wire::kMaxFrameDimension;
             l.height = 1;
             l.bytesPerRow = l.width * 4;
             l.size = kFrameBytes;
         }),
         1, wire::ErrorCode::BadBuffer, false},
        {"a buffer one byte larger than a buffer may be",
         registration([](auto& l) { l.size = wire::kMaxBufferBytes + 1; }), 1,
         wire::ErrorCode::ProtocolViolation, true},
    };
    for (const Case& test : cases) {
        RawClient client(camera.socketPath());
        ASSERT_TRUE(client.hello(wire::Role::Sink)) << test.what;
        std::vector<base::UniqueFD> memory;
        std::vector<int> fds;
        for (std::size_t i = 0; i < test.fds; ++i) {
            memory.push_back(base::MemFd::create("e2e-edge", kFrameBytes));
            fds.push_back(memory.back().get());
        }
        client.sendRaw(test.bytes.data(), test.bytes.size(), fds);
        const auto error = client.expect<wire::Error>();
        ASSERT_TRUE(error) << test.what << ": no error";
        EXPECT_EQ(error->code, test.expected) << test.what << ": " << wire::textOf(error->text);
        EXPECT_EQ(error->disconnecting != 0, test.disconnecting) << test.what;
        EXPECT_FALSE(wire::textOf(error->text).empty()) << test.what;
        if (test.disconnecting) {
            EXPECT_TRUE(client.hangsUp()) << test.what;
        }
    }
    EXPECT_TRUE(waitUntil([&] { return camera.fdsNaming("/memfd:e2e-edge") == 0; }))
        << "the camera kept fds of refused messages";
    EXPECT_EQ(query_info(camera.options()).device_name, "Kova");
}

}  // namespace
}  // namespace kova::faults
