// Where the camera's socket lives.
#include "protocol/SocketPath.h"

#include <unistd.h>

#include <cstdlib>

#include "protocol/Sentences.h"

namespace kova::wire {
namespace {

using namespace sentences;

}  // namespace

SocketLocation resolveSocketPath(const EnvironmentLookup& lookup, uid_t uid) {
    auto value = [&](const char* name) {
        const char* text = lookup(name);
        return std::string_view(text != nullptr ? text : "");
    };
    if (const auto override = value("KOVA_SOCKET"); !override.empty()) {
        return SocketLocation{std::string(override), false};
    }
    if (auto runtime = value("XDG_RUNTIME_DIR"); !runtime.empty() && runtime.front() == '/') {
        while (runtime.size() > 1 && runtime.back() == '/') runtime.remove_suffix(1);
        return SocketLocation{says(runtime, runtime.size() > 1 ? "/" : "", "kova/camera.sock"),
                              true};
    }
    return SocketLocation{says("/tmp/kova-", uid, "/camera.sock"), true};
}

SocketLocation resolveSocketPath() {
    return resolveSocketPath([](const char* name) { return std::getenv(name); }, ::getuid());
}

}  // namespace kova::wire
