// The engine's record of one client, and what the engine's parts share: the states of a
// connection and of a session, and the way into the extension's callback queue and back.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <type_traits>

#include "base/MemFd.h"
#include "camera/engine/CameraEngine.h"

namespace kova::engine {

// The window of a producer's frame rate in the status.
inline constexpr std::uint64_t kRateWindowNanoseconds = 1'000'000'000;

enum class ConnectionState { AwaitingHello, Ready, Closed };
enum class SessionState { Idle, Starting, Started, Stopping };

// Why a `session` ("sink", "view") in `state` cannot take a request that needs it `needed` (Idle
// for a start, Started for a stop), in the words its client is told; nothing when it can.
inline std::optional<std::string> wrongSessionState(SessionState state, SessionState needed,
                                                    const std::string& session) {
    if (state == needed) return std::nullopt;
    if (needed == SessionState::Idle) {
        return state == SessionState::Started ? "the " + session + " session is started already"
                                              : "the last " + session + " session has not ended";
    }
    return state == SessionState::Idle ? "no " + session + " session is started"
                                       : "the " + session + " session is starting or ending";
}

// A pushed frame's fate, decided on the loop and read where its pixel buffer is let go.
struct CameraEngine::PushTicket {
    std::atomic<bool> relayed{false};
};

struct CameraEngine::Client {
    struct QueuedFrame {
        CMSampleBufferRef sampleBuffer;
        std::uint64_t sequence = 0;
        std::shared_ptr<PushTicket> ticket;
    };
    struct RegisteredBuffer {
        std::shared_ptr<CVPixelBufferMemory> memory;
        CVPixelBuffer::Layout layout;
        bool busy = false;  // pushed and not returned yet
    };

    std::uint64_t id = 0;
    wire::PeerIdentity peer;
    std::uint64_t helloDeadline = 0;  // host time by which a Hello must have come
    std::shared_ptr<const wire::Connection> connection;  // null once disconnected
    ConnectionState state = ConnectionState::AwaitingHello;
    wire::Role role{};
    std::string name;
    // The client as the output stream sees it; one for the whole connection.
    CMIOExtensionClientRef viewClient;

    SessionState sink = SessionState::Idle;
    // The client as the sink stream and the provider see it: a new one for every sink session,
    // so that a relay left over from an ended session can never take a later session's frames.
    CMIOExtensionClientRef sinkClient;
    bool answerSinkStop = false;
    // Who ended (or is ending) this client's sink session with a SinkTakeOver.
    struct Taker {
        std::string name;
        std::uint32_t pid = 0;
    };
    std::optional<Taker> takenOverBy;
    std::deque<QueuedFrame> queue;
    std::deque<CMIOExtensionConsumeCompletion> consumeRequests;
    std::map<std::uint32_t, RegisteredBuffer> buffers;
    std::uint32_t nextBufferId = 1;
    std::uint64_t framesPushed = 0;
    std::uint64_t framesDropped = 0;
    std::uint64_t pushSequence = 0;
    std::deque<std::uint64_t> acceptedTimes;  // host times of accepted pushes, last second
    // The ring its buffers come back in (wire::FrameReturns), once it has sent one.
    std::optional<base::MemoryMapping> returns;
    // A ReturnsWanted awaits its ReturnsPosted.
    bool wantsReturns = false;

    SessionState view = SessionState::Idle;
    bool answerViewStop = false;

    // Pongs and info replies on their way back from the callback queue.
    int answersViaCallbackQueue = 0;

    // Whether something this client asked for is still on the callback queue.
    bool awaitsCallbackQueue() const {
        const auto moving = [](SessionState state) {
            return state == SessionState::Starting || state == SessionState::Stopping;
        };
        return answersViaCallbackQueue > 0 || moving(sink) || moving(view);
    }

    std::string describe() const {
        return "client " + std::to_string(id) + " (\"" + name + "\", pid " +
               std::to_string(peer.pid) + ")";
    }
};

template <class Work, class Then>
void CameraEngine::viaCallbackQueue(Work work, Then then) {
    onCallbackQueue([work = std::move(work), then = std::move(then)](CameraEngine& engine) {
        if constexpr (std::is_void_v<std::invoke_result_t<const Work&, CameraEngine&>>) {
            work(engine);
            engine.onLoop([then](CameraEngine& engine) { then(engine); });
        } else {
            engine.onLoop(
                [result = work(engine), then](CameraEngine& engine) { then(engine, result); });
        }
    });
}

}  // namespace kova::engine
