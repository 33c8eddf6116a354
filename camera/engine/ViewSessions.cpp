// View sessions: starting and stopping them, viewers' releases, and the output stream's frames
// handed to the fan-out.
#include <cstring>

#include "camera/engine/CameraEngine.h"
#include "camera/engine/EngineClient.h"
#include "camera/engine/Log.h"

namespace kova::engine {

using wire::ErrorCode;
using wire::MessageType;

// ---- view sessions ----

void CameraEngine::handleViewStart(Client& client) {
    if (const auto why = wrongSessionState(client.view, SessionState::Idle, "view")) {
        return sendError(client, ErrorCode::WrongState, MessageType::ViewStart, 0, *why);
    }
    if (!outputStream_) {
        sendError(client, ErrorCode::HostFailure, MessageType::ViewStart, 0,
                  "the camera has no output stream");
        return;
    }
    client.view = SessionState::Starting;
    viaCallbackQueue(
        [viewClient = client.viewClient](CameraEngine& engine) {
            return engine.startViewOnCallbackQueue(viewClient);
        },
        [id = client.id](CameraEngine& engine, const StartResult& result) {
            engine.viewStartFinished(id, result);
        });
}

CameraEngine::StartResult CameraEngine::startViewOnCallbackQueue(
    const CMIOExtensionClientRef& viewClient) {
    const auto source = outputStream_->source();
    if (!source) return StartFailure{ErrorCode::HostFailure, "the output stream is gone"};
    if (!source->authorizedToStartStream(viewClient)) {
        return StartFailure{ErrorCode::NotAuthorized, "the output stream refused this client"};
    }
    if (auto failure = outputUsers_.join(*source)) {
        return StartFailure{ErrorCode::HostFailure, std::move(*failure)};
    }
    return std::nullopt;
}

void CameraEngine::viewStartFinished(std::uint64_t clientId, StartResult result) {
    const auto client = find(clientId);
    if (!client) return;
    if (result) {
        client->view = SessionState::Idle;
        sendError(*client, result->code, MessageType::ViewStart, 0, result->text);
        forgetIfDone(clientId);
        return;
    }
    client->view = SessionState::Started;
    if (client->state == ConnectionState::Closed) return endView(*client, false);
    if (const int added = fanOut_.add(clientId, client->connection); added < 0) {
        log(Priority::Error,
            "cannot start viewing for " + client->describe() + ": " + std::strerror(-added));
        disconnect(*client);
    }
}

void CameraEngine::handleViewStop(Client& client) {
    if (const auto why = wrongSessionState(client.view, SessionState::Started, "view")) {
        return sendError(client, ErrorCode::WrongState, MessageType::ViewStop, 0, *why);
    }
    fanOut_.remove(client.id);
    endView(client, true);
}

void CameraEngine::endView(Client& client, bool answerStop) {
    client.view = SessionState::Stopping;
    client.answerViewStop = answerStop;
    viaCallbackQueue(
        [](CameraEngine& engine) {
            engine.outputUsers_.leave(engine.outputStream_->source().get());
        },
        [id = client.id](CameraEngine& engine) { engine.viewEnded(id); });
}

void CameraEngine::viewEnded(std::uint64_t clientId) {
    const auto client = find(clientId);
    if (!client) return;
    client->view = SessionState::Idle;
    if (client->answerViewStop) sendTo(*client, wire::ViewStopped{});
    forgetIfDone(clientId);
}

void CameraEngine::handleRelease(Client& client, const wire::Release& release) {
    // Frames of a view session that has ended counted as released when it ended.
    if (client.view != SessionState::Started) return;
    if (!fanOut_.release(client.id, release.token)) {
        sendError(client, ErrorCode::WrongState, MessageType::Release, release.token,
                  "no unreleased frame has token " + std::to_string(release.token));
    }
}

void CameraEngine::sendSampleBuffer(CMIOExtensionStream& stream,
                                    const CMSampleBufferRef& sampleBuffer,
                                    std::uint64_t hostTimeInNanoseconds) {
    if (&stream != outputStreamForFanOut_.load()) return;
    fanOut_.send(sampleBuffer, hostTimeInNanoseconds);
}

}  // namespace kova::engine
