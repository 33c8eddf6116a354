// memset_pattern4: fills bytes with a repeating 4-byte pattern.
#pragma once

#include <cstddef>
#include <vector>

// Writes `len` bytes from `b`: the 4 bytes at `pattern4` over and over, the last copy cut
// short when `len` is not a multiple of 4. Vectorised: it paints whole frames.
// Threading: reentrant.
void memset_pattern4(void* b, const void* pattern4, std::size_t len);

namespace kova::host {

// The fills memset_pattern4 can choose from on this CPU, best first (it uses the first), so
// that tests can check every one of them.
struct PatternFillVariant {
    const char* name;
    void (*fill)(void* b, const void* pattern4, std::size_t len);
};
std::vector<PatternFillVariant> patternFillVariants();

}  // namespace kova::host
