// StreamUsers: the sessions that use one stream. The first to join starts the stream, the last
// to leave stops it.
#pragma once

#include <optional>
#include <string>

#include "host/cmio/CMIOExtension.h"

namespace kova::engine {

// Threading: the host's callback queue only, where the stream's source is called.
class StreamUsers {
  public:
    // `streamName` names the stream in log lines and refusals, e.g. "the sink stream".
    explicit StreamUsers(std::string streamName) : streamName_(std::move(streamName)) {}

    // Joins, starting the stream if nobody used it; why it would not start, otherwise nothing.
    std::optional<std::string> join(CMIOExtensionStreamSource& source);
    // Leaves, stopping the stream (if its source is still there) when this was the last user.
    void leave(CMIOExtensionStreamSource* source);

  private:
    const std::string streamName_;
    int users_ = 0;
};

}  // namespace kova::engine
