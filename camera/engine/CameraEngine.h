// CameraEngine: what the camera-extension host does for its clients. It keeps each client's
// connection and sessions, each sink client's queue of pushed frames and the relay's consume
// requests, calls the extension back on the host's callback queue, and fans every frame sent on
// the output stream out to the viewers.
//
// Threading: the engine works in three places.
// - The event loop's thread (the main run loop in the camera process): client messages, client
//   records, sink queues, consume requests and their completions. Every member not named below
//   lives there, and every public member not named below is called there.
// - The callback queue: every call into the extension (properties, formats, authorisation,
//   start/stop, connect/disconnect), and each stream's users (StreamUsers).
// - Any thread: sendSampleBuffer() (fans out under ViewerFanOut's lock), consumeSampleBuffer()
//   (posted to the loop), scheduledOutputChanged() (nothing to do), and the release of a
//   client's pixel buffer (its return is posted to the loop).
// Its parts, a file each: CameraEngine.cpp (life, service, messages, sending), SinkSessions.cpp,
// ViewSessions.cpp and Status.cpp, with the client record in EngineClient.h.
// The engine is owned through a shared_ptr; work it posts holds it weakly and does nothing once
// it is gone.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "camera/engine/EventLoop.h"
#include "camera/engine/StreamUsers.h"
#include "camera/engine/ViewerFanOut.h"
#include "host/cmio/CMIOExtension.h"
#include "host/media/CMFormatDescription.h"
#include "host/media/CVPixelBuffer.h"
#include "protocol/Wire.h"

namespace kova::engine {

class CameraEngine : public std::enable_shared_from_this<CameraEngine> {
  public:
    struct Environment {
        EventLoop& loop;
        Executor callbacks;                       // the host's callback queue
        std::function<std::uint64_t()> hostTime;  // the host clock, in nanoseconds
    };

    static std::shared_ptr<CameraEngine> create(Environment environment);
    ~CameraEngine();
    CameraEngine(const CameraEngine&) = delete;
    CameraEngine& operator=(const CameraEngine&) = delete;

    // ---- the service ----

    // Takes the provider whose device's streams the clients use, and reads the sink stream's
    // format through the callbacks; `serving` runs on the loop once clients can be taken.
    void serve(const CMIOExtensionProviderRef& provider, std::function<void()> serving);
    // Takes a connected client whose peer was checked. It has 2 s to say Hello, and is counted
    // against kMaxClients once it has; of those still to say it, at most 32 are kept (the one
    // that waited longest is let go for a newcomer).
    void attach(base::UniqueFD socket, const wire::PeerIdentity& peer);
    // Hangs up on clients whose time to say Hello is out; returns the host time at which the
    // next one's will be, if any waits.
    std::optional<std::uint64_t> closeSilentClients();
    // Disconnects every client; `done` runs on the loop once every session has ended and the
    // callback queue has nothing of theirs left.
    void shutdown(std::function<void()> done);
    // Clients connected now (not counting those still winding down).
    std::size_t connectedClients() const;

    // ---- what the extension hands the host ----

    // Output stream frames go to every viewer; anything sent on another stream is ignored.
    void sendSampleBuffer(CMIOExtensionStream& stream, const CMSampleBufferRef& sampleBuffer,
                          std::uint64_t hostTimeInNanoseconds);
    void consumeSampleBuffer(CMIOExtensionStream& stream, const CMIOExtensionClientRef& client,
                             CMIOExtensionConsumeCompletion completion);
    void scheduledOutputChanged(CMIOExtensionStream& stream,
                                const CMIOExtensionScheduledOutputRef& scheduledOutput);

  private:
    struct Client;
    struct PushTicket;
    struct SinkFormat {
        FourCharCode pixelFormat = 0;
        std::uint32_t width = 0;
        std::uint32_t height = 0;
        CMFormatDescriptionRef description;
    };
    // The outcome of starting a session on the callback queue: nothing, or why it failed.
    struct StartFailure {
        wire::ErrorCode code;
        std::string text;
    };
    using StartResult = std::optional<StartFailure>;

    explicit CameraEngine(Environment environment);

    std::shared_ptr<Client> find(std::uint64_t clientId) const;
    void receiveFrom(std::uint64_t clientId);
    void handle(Client& client, wire::Received received);
    void handleHello(Client& client, const wire::Hello& hello);
    void handlePing(Client& client, const wire::Ping& ping);
    void handleInfoRequest(Client& client);
    void handleRegisterBuffer(Client& client, const wire::RegisterBuffer& request,
                              base::UniqueFD fd);
    void handleUnregisterBuffer(Client& client, const wire::UnregisterBuffer& request);
    void handlePush(Client& client, const wire::Push& push);
    void handleReturnsArea(Client& client, base::UniqueFD fd);
    void handleReturnsWanted(Client& client);
    void handleStatusRequest(Client& client);
    // A SinkStart, or a SinkTakeOver that ends the sink holder's session instead of being
    // refused.
    void handleSinkStart(Client& client, wire::MessageType request);
    // The client whose sink session holds the sink (starting or started, and not being taken
    // over), other than `except`.
    std::shared_ptr<Client> sinkHolder(std::uint64_t except) const;
    void handleSinkStop(Client& client);
    void handleViewStart(Client& client);
    void handleViewStop(Client& client);
    void handleRelease(Client& client, const wire::Release& release);

    // Sink sessions.
    StartResult startSinkOnCallbackQueue(const CMIOExtensionClientRef& sessionClient);
    void sinkStartFinished(std::uint64_t clientId, StartResult result);
    void endSink(Client& client, bool answerStop);
    void sinkEnded(std::uint64_t clientId);
    void acceptConsumeRequest(const CMIOExtensionClientRef& sessionClient,
                              CMIOExtensionConsumeCompletion completion);
    void bufferReturned(std::uint64_t clientId, std::uint32_t bufferId, bool relayed);
    void refusePush(Client& client, std::uint32_t bufferId, wire::PushRefusal reason);
    // Gives a producer that cannot get a buffer any other way the frames viewers hold beyond
    // their share.
    void reclaimIfStarved(Client& client);

    // View sessions.
    StartResult startViewOnCallbackQueue(const CMIOExtensionClientRef& viewClient);
    void viewStartFinished(std::uint64_t clientId, StartResult result);
    void endView(Client& client, bool answerStop);
    void viewEnded(std::uint64_t clientId);

    wire::InfoReply infoOnCallbackQueue();

    // Sends a control message without waiting; a client whose socket is full is not reading
    // it, and is disconnected.
    void sendTo(Client& client, const wire::Message& message);
    void sendError(Client& client, wire::ErrorCode code, wire::MessageType request,
                   std::uint64_t subject, const std::string& text);
    // Hangs up on the client; its sessions end as if it had stopped them.
    void disconnect(Client& client);
    // Logs why, tells the client with a disconnecting Error, and hangs up on it.
    void hangUpOn(Client& client, wire::ErrorCode code, const std::string& text);
    // Forgets a disconnected client once none of its sessions is still ending.
    void forgetIfDone(std::uint64_t clientId);
    void finishShutdownIfDone();

    // Posts to the loop / the callback queue work that runs only while the engine exists.
    void onLoop(std::function<void(CameraEngine&)> work);
    void onCallbackQueue(std::function<void(CameraEngine&)> work);
    // Runs `work` on the callback queue, then `then` on the loop, handed what `work` returned
    // if it returns anything: the one way from the loop into the extension and back.
    template <class Work, class Then>
    void viaCallbackQueue(Work work, Then then);

    EventLoop& loop_;
    Executor callbacks_;
    std::function<std::uint64_t()> hostTime_;
    const std::uint64_t startedAt_;

    // Set by serve() before any client is taken, then only read.
    CMIOExtensionProviderRef provider_;
    CMIOExtensionDeviceRef device_;
    CMIOExtensionStreamRef outputStream_;
    CMIOExtensionStreamRef sinkStream_;
    std::atomic<CMIOExtensionStream*> outputStreamForFanOut_{nullptr};

    std::optional<SinkFormat> sinkFormat_;
    std::map<std::uint64_t, std::shared_ptr<Client>> clients_;
    // Sink sessions by the client object handed to the extension: the ones whose consume
    // requests are taken.
    std::map<const CMIOExtensionClient*, std::uint64_t> sinkSessions_;
    std::uint64_t nextClientId_ = 1;
    // Counters since the start, for the status.
    std::uint64_t totalPushed_ = 0;
    std::uint64_t totalDropped_ = 0;
    std::uint64_t sinkSessionsStarted_ = 0;
    std::uint64_t takeOvers_ = 0;
    std::function<void()> shutdownDone_;
    bool shuttingDown_ = false;

    // Callback queue only.
    StreamUsers sinkUsers_{"the sink stream"};
    StreamUsers outputUsers_{"the output stream"};

    ViewerFanOut fanOut_;
};

}  // namespace kova::engine
