// memset_pattern4: a vectorised 4-byte pattern fill, AVX2 or SSE2 chosen at run time.
#include "host/media/PatternFill.h"

#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

using FillFunction = void (*)(std::uint8_t* b, std::uint32_t pattern, std::size_t len);

// `pattern` holds the four bytes in memory order, so copying it out writes them in order.
void fillSmall(std::uint8_t* b, std::uint32_t pattern, std::size_t len) {
    std::size_t i = 0;
    for (; i + 4 <= len; i += 4) std::memcpy(b + i, &pattern, 4);
    std::memcpy(b + i, &pattern, len - i);
}

#if defined(__x86_64__)

// The pattern as seen from byte `offset` of the range: byte 0 of the result is
// pattern[offset % 4]. x86 is little-endian, so this is a rotation right by whole bytes.
std::uint32_t patternFrom(std::uint32_t pattern, std::size_t offset) {
    const unsigned shift = unsigned(offset % 4) * 8;
    return shift == 0 ? pattern : (pattern >> shift) | (pattern << (32 - shift));
}

std::uint8_t* alignUp(std::uint8_t* p, std::uintptr_t alignment) {
    const auto address = reinterpret_cast<std::uintptr_t>(p);
    return p + ((alignment - address % alignment) % alignment);
}

// One unaligned store covers the head, aligned stores the body, one unaligned store ending
// exactly at the end covers the tail; each store carries the pattern rotated for its offset.
__attribute__((target("avx2"))) void fillAVX2(std::uint8_t* b, std::uint32_t pattern,
                                              std::size_t len) {
    constexpr std::size_t kVector = 32;
    if (len < kVector) return fillSmall(b, pattern, len);
    std::uint8_t* const end = b + len;
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(b), _mm256_set1_epi32(int(pattern)));

    std::uint8_t* p = alignUp(b + 1, kVector);
    const __m256i body = _mm256_set1_epi32(int(patternFrom(pattern, std::size_t(p - b))));
    for (; end - p >= std::ptrdiff_t(4 * kVector); p += 4 * kVector) {
        _mm256_store_si256(reinterpret_cast<__m256i*>(p), body);
        _mm256_store_si256(reinterpret_cast<__m256i*>(p + kVector), body);
        _mm256_store_si256(reinterpret_cast<__m256i*>(p + 2 * kVector), body);
        _mm256_store_si256(reinterpret_cast<__m256i*>(p + 3 * kVector), body);
    }
    for (; end - p >= std::ptrdiff_t(kVector); p += kVector) {
        _mm256_store_si256(reinterpret_cast<__m256i*>(p), body);
    }
    if (p < end) {
        std::uint8_t* const tail = end - kVector;
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(tail),
                            _mm256_set1_epi32(int(patternFrom(pattern, std::size_t(tail - b)))));
    }
}

void fillSSE2(std::uint8_t* b, std::uint32_t pattern, std::size_t len) {
    constexpr std::size_t kVector = 16;
    if (len < kVector) return fillSmall(b, pattern, len);
    std::uint8_t* const end = b + len;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(b), _mm_set1_epi32(int(pattern)));

    std::uint8_t* p = alignUp(b + 1, kVector);
    const __m128i body = _mm_set1_epi32(int(patternFrom(pattern, std::size_t(p - b))));
    for (; end - p >= std::ptrdiff_t(4 * kVector); p += 4 * kVector) {
        _mm_store_si128(reinterpret_cast<__m128i*>(p), body);
        _mm_store_si128(reinterpret_cast<__m128i*>(p + kVector), body);
        _mm_store_si128(reinterpret_cast<__m128i*>(p + 2 * kVector), body);
        _mm_store_si128(reinterpret_cast<__m128i*>(p + 3 * kVector), body);
    }
    for (; end - p >= std::ptrdiff_t(kVector); p += kVector) {
        _mm_store_si128(reinterpret_cast<__m128i*>(p), body);
    }
    if (p < end) {
        std::uint8_t* const tail = end - kVector;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(tail),
                         _mm_set1_epi32(int(patternFrom(pattern, std::size_t(tail - b)))));
    }
}

FillFunction chooseFill() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? fillAVX2 : fillSSE2;
}

#else

// Elsewhere: seed 64 bytes, then double the filled prefix with memcpy (64 is a multiple of 4,
// so every copy lands in phase).
void fillPortable(std::uint8_t* b, std::uint32_t pattern, std::size_t len) {
    std::size_t filled = len < 64 ? len : 64;
    fillSmall(b, pattern, filled);
    while (filled < len) {
        const std::size_t chunk = filled < len - filled ? filled : len - filled;
        std::memcpy(b + filled, b, chunk);
        filled += chunk;
    }
}

FillFunction chooseFill() {
    return fillPortable;
}

#endif

}  // namespace

void memset_pattern4(void* b, const void* pattern4, std::size_t len) {
    if (len == 0) return;
    static const FillFunction fill = chooseFill();
    std::uint32_t pattern;
    std::memcpy(&pattern, pattern4, sizeof pattern);
    fill(static_cast<std::uint8_t*>(b), pattern, len);
}
