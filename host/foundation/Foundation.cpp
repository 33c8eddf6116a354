// UUID parsing, formatting and random generation, by libuuid.
#include "host/foundation/Foundation.h"

#include <uuid/uuid.h>

std::optional<UUID> UUID::fromUUIDString(std::string_view text) {
    // libuuid reads up to a NUL: an embedded one must not shorten what is checked.
    if (text.size() != 36) return std::nullopt;
    const std::string terminated(text);
    Bytes bytes{};
    if (uuid_parse(terminated.c_str(), bytes.data()) != 0) return std::nullopt;
    return UUID(bytes);
}

UUID UUID::random() {
    Bytes bytes{};
    uuid_generate_random(bytes.data());
    return UUID(bytes);
}

std::string UUID::uuidString() const {
    char text[37];
    uuid_unparse_upper(bytes_.data(), text);
    return text;
}
