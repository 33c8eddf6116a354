// Installs the camera process's host before main() runs, so that the extension finds it from
// its very first host call. Compiled into kova-camera itself, so the linker always keeps it.
#include "host/engine/HostEngine.h"

namespace {

struct ProductionHostInstaller {
    ProductionHostInstaller() {
        kova::host::HostBackend::install(kova::engine::HostEngine::create());
    }
};

[[maybe_unused]] const ProductionHostInstaller installer;

}  // namespace
