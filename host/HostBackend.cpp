// The process-wide installed host backend.
#include "host/HostBackend.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace kova::host {

namespace {

// Both live until the process is gone: threads may still reach the host while it exits, so
// the installed backend is only ever released by install(), never by static destruction.
std::mutex& installedMutex() {
    static auto* const mutex = new std::mutex;
    return *mutex;
}

std::shared_ptr<HostBackend>& installedBackend() {
    static auto* const backend = new std::shared_ptr<HostBackend>;
    return *backend;
}

}  // namespace

void HostBackend::install(std::shared_ptr<HostBackend> backend) {
    std::shared_ptr<HostBackend> previous;
    {
        std::lock_guard lock(installedMutex());
        previous = std::exchange(installedBackend(), std::move(backend));
    }
    // The old backend may be destroyed here, outside the lock: its destructor may use the host.
}

std::shared_ptr<HostBackend> HostBackend::current() {
    {
        std::lock_guard lock(installedMutex());
        if (auto backend = installedBackend()) return backend;
    }
    // Using the host API before a host exists is a start-up bug, not a run-time condition.
    std::fputs("kova: no host installed\n", stderr);
    std::abort();
}

}  // namespace kova::host
