// Reading a process's fds, resident memory and mappings from /proc.
#include "Footprint.h"

#include <dirent.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace kova::soak {
namespace {

std::string procPath(pid_t pid, const char* entry) {
    return "/proc/" + std::to_string(pid) + "/" + entry;
}

// Calls `visit` with the target of every open fd of `pid`; false if the folder cannot be read.
template <class Visit>
bool forEachFd(pid_t pid, Visit&& visit) {
    const std::string folder = procPath(pid, "fd");
    DIR* directory = ::opendir(folder.c_str());
    if (directory == nullptr) return false;
    while (const dirent* entry = ::readdir(directory)) {
        if (entry->d_name[0] == '.') continue;
        char target[512];
        const std::string link = folder + "/" + entry->d_name;
        const ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
        // An fd closed between readdir and readlink is no longer held.
        if (length < 0) continue;
        visit(std::string(target, std::size_t(length)));
    }
    ::closedir(directory);
    return true;
}

}  // namespace

std::optional<Footprint> footprintOf(pid_t pid) {
    Footprint footprint;
    if (!forEachFd(pid, [&](const std::string&) { ++footprint.fds; })) return std::nullopt;
    std::ifstream status(procPath(pid, "status"));
    bool sawResident = false;
    for (std::string line; std::getline(status, line);) {
        std::istringstream fields(line);
        std::string key;
        std::uint64_t kib = 0;
        fields >> key >> kib;
        if (key == "VmRSS:") {
            footprint.residentKiB = kib;
            sawResident = true;
        } else if (key == "RssAnon:") {
            footprint.anonymousKiB = kib;
        } else if (key == "RssShmem:") {
            footprint.sharedKiB = kib;
        }
    }
    // A zombie has no memory lines left.
    if (!sawResident) return std::nullopt;
    return footprint;
}

std::size_t fdsNaming(pid_t pid, const std::string& name) {
    std::size_t count = 0;
    forEachFd(pid, [&](const std::string& target) {
        if (target.find(name) != std::string::npos) ++count;
    });
    return count;
}

std::size_t mappingsNaming(pid_t pid, const std::string& name) {
    std::ifstream maps(procPath(pid, "maps"));
    std::size_t count = 0;
    for (std::string line; std::getline(maps, line);) {
        if (line.find(name) != std::string::npos) ++count;
    }
    return count;
}

}  // namespace kova::soak
