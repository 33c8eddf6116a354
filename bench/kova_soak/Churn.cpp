// The churning clients: raw protocol sessions of every kind, over and over, and the probe for
// one client more.
#include "Churn.h"

#include <cerrno>
#include <cstring>
#include <optional>
#include <stdexcept>

#include "base/MemFd.h"
#include "kova/kova.h"
#include "protocol/Wire.h"

namespace kova::soak {
namespace {

using Clock = std::chrono::steady_clock;

// How long the camera may take to answer a request.
constexpr auto kAnswerTimeout = std::chrono::seconds(5);
// How long a client turned away waits before it asks again.
constexpr auto kRefusedPause = std::chrono::milliseconds(10);
constexpr std::size_t kFailuresKept = 8;

// Anything a churning client did not expect; it ends that client's session.
class Unexpected : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

std::string describe(const wire::Message& message) {
    if (const auto* error = std::get_if<wire::Error>(&message)) {
        return std::string("Error ") + wire::errorCodeName(error->code) + " (" +
               std::string(wire::textOf(error->text)) + ")";
    }
    return wire::messageTypeName(std::visit([](const auto& m) { return m.kType; }, message));
}

// The next message before `deadline`, or nothing once it has passed.
std::optional<wire::Received> poll(const wire::Connection& connection, Clock::time_point deadline) {
    bool reset = false;
    for (;;) {
        auto result = connection.receive();
        switch (result.status) {
            case wire::ReceiveResult::Status::Message:
                return std::move(result.received);
            case wire::ReceiveResult::Status::Closed:
                throw Unexpected("the camera hung up");
            case wire::ReceiveResult::Status::Invalid:
                throw Unexpected("the camera sent a malformed message: " + result.error.reason);
            case wire::ReceiveResult::Status::Failed:
                // A camera that hangs up before reading what this client sent resets the
                // connection; what it said before is still there to be read.
                if (result.systemError == -ECONNRESET && !reset) {
                    reset = true;
                    continue;
                }
                throw Unexpected(std::string("cannot receive: ") +
                                 std::strerror(-result.systemError));
            case wire::ReceiveResult::Status::Empty:
                break;
        }
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return std::nullopt;
        connection.waitReadable(int(left));
    }
}

// The next message, which must be an M; other messages go to `other` first.
template <class M, class Other>
M expect(const wire::Connection& connection, Other&& other) {
    const auto deadline = Clock::now() + kAnswerTimeout;
    for (;;) {
        auto received = poll(connection, deadline);
        if (!received) {
            throw Unexpected(std::string("no ") + wire::messageTypeName(M::kType) + " in time");
        }
        if (const auto* wanted = std::get_if<M>(&received->message)) return *wanted;
        if (!other(*received)) {
            throw Unexpected(describe(received->message) + " while waiting for " +
                             wire::messageTypeName(M::kType));
        }
    }
}

template <class M>
M expect(const wire::Connection& connection) {
    return expect<M>(connection, [](const wire::Received&) { return false; });
}

void send(const wire::Connection& connection, const wire::Message& message, int fd = -1) {
    if (const int sent = connection.send(message, fd); sent != 0) {
        throw Unexpected(
            std::string("cannot send ") +
            wire::messageTypeName(std::visit([](const auto& m) { return m.kType; }, message)) +
            ": " + std::strerror(-sent));
    }
}

// A welcomed session as `role`, or nothing when the camera turned the client away because it
// serves its most clients already.
std::optional<wire::Connection> open(const std::string& path, wire::Role role) {
    auto socket = wire::connectTo(path);
    if (!socket.ok()) throw Unexpected(socket.failure().message);
    wire::Connection connection(std::move(socket.value()), wire::Peer::Client);
    wire::Hello hello;
    hello.role = role;
    wire::setText(hello.clientName, "kova-soak-churn");
    // A client turned away is told so at once; the hello may then find the socket closed.
    connection.send(hello);
    auto received = poll(connection, Clock::now() + kAnswerTimeout);
    if (!received) throw Unexpected("no answer to the hello");
    if (std::holds_alternative<wire::Welcome>(received->message)) return connection;
    if (const auto* error = std::get_if<wire::Error>(&received->message);
        error != nullptr && error->code == wire::ErrorCode::LimitReached &&
        error->disconnecting != 0) {
        return std::nullopt;
    }
    throw Unexpected(describe(received->message) + " in answer to the hello");
}

wire::FrameLayout frameLayout() {
    return wire::FrameLayout{wire::PixelFormat::BGRA, std::uint32_t(kFrameWidth),
                             std::uint32_t(kFrameHeight), std::uint32_t(kFrameStride),
                             std::uint64_t(kFrameBytes)};
}

}  // namespace

Churn::Churn(Options options) : options_(std::move(options)) {
    for (unsigned i = 0; i < options_.sinks; ++i) threads_.emplace_back([this, i] { runSink(i); });
    for (unsigned i = 0; i < options_.viewers; ++i) {
        threads_.emplace_back([this, i] { runViewer(i); });
    }
    for (unsigned i = 0; i < options_.infos; ++i) threads_.emplace_back([this, i] { runInfo(i); });
    threads_.emplace_back([this] { runProbe(); });
}

Churn::~Churn() {
    stop();
}

ChurnTally& ChurnTally::operator+=(const ChurnTally& later) {
    sinksRefused += later.sinksRefused;
    viewSessions += later.viewSessions;
    infoSessions += later.infoSessions;
    refusedAtLimit += later.refusedAtLimit;
    probesAdmitted += later.probesAdmitted;
    pushes += later.pushes;
    pushesAnswered += later.pushesAnswered;
    framesViewed += later.framesViewed;
    for (const std::string& failure : later.failures) {
        if (failures.size() < kFailuresKept) failures.push_back(failure);
    }
    return *this;
}

ChurnTally Churn::tally() const {
    std::lock_guard lock(mutex_);
    return tally_;
}

ChurnTally Churn::stop() {
    stopping_.store(true);
    for (auto& thread : threads_) {
        if (thread.joinable()) thread.join();
    }
    return tally();
}

void Churn::fail(const std::string& why) {
    std::lock_guard lock(mutex_);
    if (tally_.failures.size() < kFailuresKept) tally_.failures.push_back(why);
}

void Churn::runSink(unsigned which) {
    // The same memory is registered in every session: as many buffers as a client may have.
    std::vector<base::UniqueFD> memory;
    for (std::uint32_t i = 0; i < wire::kMaxRegisteredBuffersPerClient; ++i) {
        memory.push_back(base::MemFd::create("kova-churn", kFrameBytes));
        if (!memory.back()) return fail("sink client: cannot create its buffers");
    }
    for (std::uint64_t cycle = which; !stopping_.load(); ++cycle) {
        try {
            auto connection = open(options_.socketPath, wire::Role::Sink);
            if (!connection) {
                count([](ChurnTally& t) { ++t.refusedAtLimit; });
                std::this_thread::sleep_for(kRefusedPause);
                continue;
            }
            for (std::uint32_t i = 0; i < memory.size(); ++i) {
                wire::RegisterBuffer registration;
                registration.cookie = i + 1;
                registration.layout = frameLayout();
                send(*connection, registration, memory[i].get());
            }
            std::vector<std::uint32_t> ids;
            while (ids.size() < memory.size()) {
                ids.push_back(expect<wire::BufferRegistered>(*connection).bufferId);
            }
            // The measured producer holds the sink: the camera refuses a second one, and its
            // pushes with it.
            send(*connection, wire::SinkStart{});
            if (const auto refusal = expect<wire::Error>(*connection);
                refusal.code != wire::ErrorCode::NotAuthorized) {
                throw Unexpected(describe(refusal) + " for a second sink session");
            }

            wire::Push push;
            push.bufferId = ids[cycle % ids.size()];
            push.timeFlags = wire::kTimeFlagValid;
            push.timeValue = std::int64_t(host_time_now());
            push.timeScale = 1'000'000'000;
            send(*connection, push);
            count([](ChurnTally& t) { ++t.pushes; });
            // The push's answer: its buffer back, or a refusal.
            bool answered = false;
            auto answer = [&answered](const wire::Received& received) {
                const bool isAnswer =
                    std::holds_alternative<wire::BufferReturned>(received.message) ||
                    std::holds_alternative<wire::PushRefused>(received.message);
                answered = answered || isAnswer;
                return isAnswer;
            };
            const auto holdUntil = Clock::now() + options_.hold;
            while (auto received = poll(*connection, holdUntil)) {
                if (!answer(*received)) {
                    throw Unexpected(describe(received->message) + " after a push");
                }
            }
            count([answered](ChurnTally& t) {
                ++t.sinksRefused;
                if (answered) ++t.pushesAnswered;
            });
        } catch (const Unexpected& problem) {
            fail(std::string("sink client: ") + problem.what());
        }
    }
}

void Churn::runViewer(unsigned which) {
    for (std::uint64_t cycle = which; !stopping_.load(); ++cycle) {
        try {
            auto connection = open(options_.socketPath, wire::Role::View);
            if (!connection) {
                count([](ChurnTally& t) { ++t.refusedAtLimit; });
                std::this_thread::sleep_for(kRefusedPause);
                continue;
            }
            send(*connection, wire::ViewStart{});
            expect<wire::ViewStarted>(*connection);
            std::uint64_t seen = 0;
            const auto holdUntil = Clock::now() + options_.hold;
            while (auto received = poll(*connection, holdUntil)) {
                if (const auto* frame = std::get_if<wire::Frame>(&received->message)) {
                    wire::Release release;
                    release.token = frame->token;
                    send(*connection, release);
                    ++seen;
                } else if (!std::holds_alternative<wire::BufferGone>(received->message)) {
                    throw Unexpected(describe(received->message) + " while viewing");
                }
            }
            if (cycle % 2 == 0) {
                send(*connection, wire::ViewStop{});
                // Frames sent before the stop still come; they count as released with it.
                expect<wire::ViewStopped>(*connection, [](const wire::Received& received) {
                    return std::holds_alternative<wire::Frame>(received.message) ||
                           std::holds_alternative<wire::BufferGone>(received.message);
                });
            }
            count([seen](ChurnTally& t) {
                ++t.viewSessions;
                t.framesViewed += seen;
            });
        } catch (const Unexpected& problem) {
            fail(std::string("viewer: ") + problem.what());
        }
    }
}

void Churn::runInfo(unsigned) {
    while (!stopping_.load()) {
        try {
            auto connection = open(options_.socketPath, wire::Role::Info);
            if (!connection) {
                count([](ChurnTally& t) { ++t.refusedAtLimit; });
                std::this_thread::sleep_for(kRefusedPause);
                continue;
            }
            send(*connection, wire::InfoRequest{});
            expect<wire::InfoReply>(*connection);
            std::this_thread::sleep_for(options_.hold);
            count([](ChurnTally& t) { ++t.infoSessions; });
        } catch (const Unexpected& problem) {
            fail(std::string("info client: ") + problem.what());
        }
    }
}

void Churn::runProbe() {
    while (!stopping_.load()) {
        std::this_thread::sleep_for(options_.probeEvery);
        try {
            if (open(options_.socketPath, wire::Role::Info)) {
                count([](ChurnTally& t) { ++t.probesAdmitted; });
            } else {
                count([](ChurnTally& t) { ++t.refusedAtLimit; });
            }
        } catch (const Unexpected& problem) {
            fail(std::string("probe: ") + problem.what());
        }
    }
}

}  // namespace kova::soak
