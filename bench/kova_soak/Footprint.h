// Footprint: what a running process holds, read from /proc: its open fds, its resident memory
// and the shared memory it has mapped.
//
// Threading: plain functions and values; callable from any thread.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace kova::soak {

struct Footprint {
    std::size_t fds = 0;             // entries of /proc/<pid>/fd
    std::uint64_t residentKiB = 0;   // VmRSS
    std::uint64_t anonymousKiB = 0;  // RssAnon: heap, stacks, sanitizer shadow
    std::uint64_t sharedKiB = 0;     // RssShmem: pages of shared memory it has touched
};

// Nothing once the process has gone (or cannot be read).
std::optional<Footprint> footprintOf(pid_t pid);

// Open fds of `pid` whose target contains `name` (e.g. "/memfd:kova-frame").
std::size_t fdsNaming(pid_t pid, const std::string& name);
// Mappings of `pid` whose path contains `name`.
std::size_t mappingsNaming(pid_t pid, const std::string& name);

}  // namespace kova::soak
