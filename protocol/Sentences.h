// Sentences for failures and refusals: parts joined into text, numbers in hex, and a system
// call's failure. Used inside protocol/ only.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <type_traits>
#include <utility>

#include "base/Result.h"

namespace kova::wire::sentences {

template <class Part>
inline void append(std::string& text, const Part& part) {
    if constexpr (std::is_integral_v<Part>) {
        text += std::to_string(part);
    } else {
        text += part;
    }
}

template <class... Parts>
inline std::string says(const Parts&... parts) {
    std::string text;
    (append(text, parts), ...);
    return text;
}

inline std::string hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}

inline std::uint32_t raw(auto enumValue) {
    return static_cast<std::uint32_t>(enumValue);
}

inline base::Failure systemFailure(int error, std::string what) {
    return base::Failure{-error, says(what, ": ", std::strerror(error))};
}

}  // namespace kova::wire::sentences
