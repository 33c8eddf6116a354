// memset_pattern4: fills bytes with a repeating 4-byte pattern.
#pragma once

#include <cstddef>

// Writes `len` bytes from `b`: the 4 bytes at `pattern4` over and over, the last copy cut
// short when `len` is not a multiple of 4. Vectorised: it paints whole frames.
// Threading: reentrant.
void memset_pattern4(void* b, const void* pattern4, std::size_t len);
