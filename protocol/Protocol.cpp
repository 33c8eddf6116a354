// Names of the protocol's message types and error codes, and peers' text made printable.
#include "protocol/Protocol.h"

#include <cstdio>

namespace kova::wire {

namespace {

std::string escaped(std::string_view text, std::size_t limit, bool keepQuotes) {
    std::string shown;
    for (std::size_t i = 0; i < text.size() && i < limit; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const bool quote = byte == '\\' || byte == '"';
        if (byte >= 0x20 && byte < 0x7f && (keepQuotes || !quote)) {
            shown += char(byte);
        } else {
            char code[5];
            std::snprintf(code, sizeof code, "\\x%02x", byte);
            shown += code;
        }
    }
    if (text.size() > limit) shown += "...";
    return shown;
}

}  // namespace

std::string printable(std::string_view text, std::size_t limit) {
    return escaped(text, limit, false);
}

std::string readable(std::string_view text, std::size_t limit) {
    return escaped(text, limit, true);
}

const char* messageTypeName(MessageType type) {
    const MessageRow* row = rowOf(type);
    return row ? row->name : "unknown";
}

const char* errorCodeName(ErrorCode code) {
    switch (code) {
        case ErrorCode::ProtocolViolation:
            return "protocol violation";
        case ErrorCode::VersionMismatch:
            return "version mismatch";
        case ErrorCode::NotAllowed:
            return "not allowed";
        case ErrorCode::WrongState:
            return "wrong state";
        case ErrorCode::LimitReached:
            return "limit reached";
        case ErrorCode::BadBuffer:
            return "bad buffer";
        case ErrorCode::UnknownBuffer:
            return "unknown buffer";
        case ErrorCode::NotAuthorized:
            return "not authorized";
        case ErrorCode::PermissionDenied:
            return "permission denied";
        case ErrorCode::HostFailure:
            return "host failure";
    }
    return "unknown";
}

}  // namespace kova::wire
