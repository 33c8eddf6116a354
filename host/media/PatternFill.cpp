// memset_pattern4: a vectorised 4-byte pattern fill, AVX2 or SSE2 chosen at run time, with the
// CPU's string store for fills larger than a cache.
#include "host/media/PatternFill.h"

#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <cpuid.h>
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

// Past the size of a typical L2 cache, the CPU's fast string store (which writes whole lines
// without reading them first) beats vector stores; below it, vector stores win.
constexpr std::ptrdiff_t kStringStoreMinimum = 1 << 20;

// Fills whole 8-byte words from the 8-aligned `p` with `pattern` (already rotated for `p`);
// returns where it stopped, fewer than 8 bytes before `end`.
std::uint8_t* stringStore(std::uint8_t* p, std::uint32_t pattern, std::uint8_t* end) {
    const std::uint64_t word = std::uint64_t(pattern) | (std::uint64_t(pattern) << 32);
    std::size_t count = std::size_t(end - p) / 8;
    asm volatile("rep stosq" : "+D"(p), "+c"(count) : "a"(word) : "memory");
    return p;
}

bool hasFastStringStore() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
    return (ebx & (1u << 9)) != 0;  // enhanced rep movsb/stosb
}

// One unaligned store covers the head, aligned stores the body, one unaligned store ending
// exactly at the end covers the tail; each store carries the pattern rotated for its offset.
template <bool kUseStringStore>
__attribute__((target("avx2"))) void fillAVX2(std::uint8_t* b, std::uint32_t pattern,
                                              std::size_t len) {
    constexpr std::size_t kVector = 32;
    if (len < kVector) return fillSmall(b, pattern, len);
    std::uint8_t* const end = b + len;
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(b), _mm256_set1_epi32(int(pattern)));

    std::uint8_t* p = alignUp(b + 1, kVector);
    const std::uint32_t bodyPattern = patternFrom(pattern, std::size_t(p - b));
    // Whole multiples of 8 bytes keep the body's rotation, and leave less than one vector.
    if (kUseStringStore && end - p >= kStringStoreMinimum) p = stringStore(p, bodyPattern, end);
    const __m256i body = _mm256_set1_epi32(int(bodyPattern));
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

template <bool kUseStringStore>
void fillSSE2(std::uint8_t* b, std::uint32_t pattern, std::size_t len) {
    constexpr std::size_t kVector = 16;
    if (len < kVector) return fillSmall(b, pattern, len);
    std::uint8_t* const end = b + len;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(b), _mm_set1_epi32(int(pattern)));

    std::uint8_t* p = alignUp(b + 1, kVector);
    const std::uint32_t bodyPattern = patternFrom(pattern, std::size_t(p - b));
    if (kUseStringStore && end - p >= kStringStoreMinimum) p = stringStore(p, bodyPattern, end);
    const __m128i body = _mm_set1_epi32(int(bodyPattern));
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

// Turns a fill into the public shape: the pattern read from memory, nothing for no bytes.
template <FillFunction kFill>
void publicFill(void* b, const void* pattern4, std::size_t len) {
    if (len == 0) return;
    std::uint32_t pattern;
    std::memcpy(&pattern, pattern4, sizeof pattern);
    kFill(static_cast<std::uint8_t*>(b), pattern, len);
}

std::vector<kova::host::PatternFillVariant> variantsForThisCPU() {
    __builtin_cpu_init();
    const bool stringStore = hasFastStringStore();
    std::vector<kova::host::PatternFillVariant> variants;
    if (__builtin_cpu_supports("avx2")) {
        if (stringStore) variants.push_back({"avx2+string", publicFill<fillAVX2<true>>});
        variants.push_back({"avx2", publicFill<fillAVX2<false>>});
    }
    if (stringStore) variants.push_back({"sse2+string", publicFill<fillSSE2<true>>});
    variants.push_back({"sse2", publicFill<fillSSE2<false>>});
    return variants;
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

template <FillFunction kFill>
void publicFill(void* b, const void* pattern4, std::size_t len) {
    if (len == 0) return;
    std::uint32_t pattern;
    std::memcpy(&pattern, pattern4, sizeof pattern);
    kFill(static_cast<std::uint8_t*>(b), pattern, len);
}

std::vector<kova::host::PatternFillVariant> variantsForThisCPU() {
    return {{"portable", publicFill<fillPortable>}};
}

#endif

}  // namespace

std::vector<kova::host::PatternFillVariant> kova::host::patternFillVariants() {
    return variantsForThisCPU();
}

void memset_pattern4(void* b, const void* pattern4, std::size_t len) {
    static const auto fill = variantsForThisCPU().front().fill;
    fill(b, pattern4, len);
}
