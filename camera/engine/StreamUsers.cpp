// The users of one stream, and its start and stop with the first and the last of them.
#include "camera/engine/StreamUsers.h"

#include "camera/engine/Log.h"

namespace kova::engine {

std::optional<std::string> StreamUsers::join(CMIOExtensionStreamSource& source) {
    if (users_ == 0) {
        NSError error;
        if (!source.startStream(&error)) {
            std::string why = streamName_ + " failed to start: " + error.localizedDescription;
            log(Priority::Error, why);
            return why;
        }
    }
    ++users_;
    return std::nullopt;
}

void StreamUsers::leave(CMIOExtensionStreamSource* source) {
    if (--users_ != 0 || !source) return;
    NSError error;
    if (!source->stopStream(&error)) {
        log(Priority::Error, streamName_ + " failed to stop: " + error.localizedDescription);
    }
}

}  // namespace kova::engine
