// libFuzzer's entry for one fuzz target, the one named by KOVA_FUZZ_TARGET when it is built.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "fuzz/targets/FuzzTargets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const kova::fuzz::Target* const target = kova::fuzz::findTarget(KOVA_FUZZ_TARGET);
    if (target == nullptr) {
        std::fprintf(stderr, "no fuzz target is called %s\n", KOVA_FUZZ_TARGET);
        std::abort();
    }
    if (const auto broken = target->run({data, size})) {
        std::fprintf(stderr, "%s: %s\n", target->name, broken->c_str());
        // libFuzzer keeps the input that did it as a crash reproducer.
        std::abort();
    }
    return 0;
}
