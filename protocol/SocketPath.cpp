// Where the camera's socket lives.
#include "protocol/SocketPath.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
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

std::optional<base::Failure> checkTrustedFolder(const std::string& folder) {
    struct stat status {};
    if (::lstat(folder.c_str(), &status) < 0) {
        if (errno == ENOENT) return std::nullopt;
        return systemFailure(errno, says("cannot inspect the socket folder ", folder));
    }
    if (S_ISLNK(status.st_mode)) {
        return base::Failure{-EPERM, says("socket folder ", folder, " is a symbolic link")};
    }
    if (!S_ISDIR(status.st_mode)) {
        return base::Failure{-EPERM, says("socket folder ", folder, " is not a folder")};
    }
    if (status.st_uid != ::geteuid() && status.st_uid != 0) {
        return base::Failure{-EPERM,
                             says("socket folder ", folder, " belongs to uid ", status.st_uid,
                                  ", not to this user (uid ", ::geteuid(), ")")};
    }
    if ((status.st_mode & 0077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", unsigned(status.st_mode & 07777));
        return base::Failure{
            -EPERM, says("socket folder ", folder, " is open to other users (mode ", mode, ")")};
    }
    return std::nullopt;
}

}  // namespace kova::wire
