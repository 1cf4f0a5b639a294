// AVX2 kernels: the shared drivers over 8-float lanes. Only plain pointers
// cross into these functions, so nothing compiled here with wider
// instructions can be shared with other code.
#include <cstddef>
#include <cstdint>

#include "core/kernels.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>

// Everything defined from here to the matching pop takes the instruction set.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,fma,popcnt"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,fma,popcnt")
#endif
#include "core/simd_drivers.hpp"

namespace karnoxel::core {
namespace {

struct Avx2 {
    using Vec = __m256;
    static constexpr std::size_t W = 8;

    static Vec set1(float x) { return _mm256_set1_ps(x); }
    static Vec add(Vec a, Vec b) { return _mm256_add_ps(a, b); }
    static Vec sub(Vec a, Vec b) { return _mm256_sub_ps(a, b); }
    static Vec mul(Vec a, Vec b) { return _mm256_mul_ps(a, b); }
    static Vec fmadd(Vec a, Vec b, Vec c) { return _mm256_fmadd_ps(a, b, c); }
    static Vec load(const float* p) { return _mm256_loadu_ps(p); }
    static Vec load_first(const float* p, std::size_t count) {
        const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
        return _mm256_maskload_ps(p, _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(count)), lanes));
    }
    static Vec load_upper(const std::uint16_t* p) {
        const __m256i up = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
        return _mm256_castsi256_ps(_mm256_slli_epi32(up, 16));
    }
    static Vec join(const std::uint16_t* upper, const std::uint16_t* lower) {
        const __m256i up = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(upper)));
        const __m256i low = _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(lower)));
        return _mm256_castsi256_ps(_mm256_add_epi32(_mm256_slli_epi32(up, 16), low));
    }
    static void store(float* p, Vec v) { _mm256_storeu_ps(p, v); }

    // After this, r[k] holds element k of rows 0..7.
    static void transpose(Vec r[8]) {
        const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]), t1 = _mm256_unpackhi_ps(r[0], r[1]);
        const __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]), t3 = _mm256_unpackhi_ps(r[2], r[3]);
        const __m256 t4 = _mm256_unpacklo_ps(r[4], r[5]), t5 = _mm256_unpackhi_ps(r[4], r[5]);
        const __m256 t6 = _mm256_unpacklo_ps(r[6], r[7]), t7 = _mm256_unpackhi_ps(r[6], r[7]);
        const __m256 u0 = _mm256_shuffle_ps(t0, t2, 0x44), u1 = _mm256_shuffle_ps(t0, t2, 0xEE);
        const __m256 u2 = _mm256_shuffle_ps(t1, t3, 0x44), u3 = _mm256_shuffle_ps(t1, t3, 0xEE);
        const __m256 u4 = _mm256_shuffle_ps(t4, t6, 0x44), u5 = _mm256_shuffle_ps(t4, t6, 0xEE);
        const __m256 u6 = _mm256_shuffle_ps(t5, t7, 0x44), u7 = _mm256_shuffle_ps(t5, t7, 0xEE);
        r[0] = _mm256_permute2f128_ps(u0, u4, 0x20);
        r[1] = _mm256_permute2f128_ps(u1, u5, 0x20);
        r[2] = _mm256_permute2f128_ps(u2, u6, 0x20);
        r[3] = _mm256_permute2f128_ps(u3, u7, 0x20);
        r[4] = _mm256_permute2f128_ps(u0, u4, 0x31);
        r[5] = _mm256_permute2f128_ps(u1, u5, 0x31);
        r[6] = _mm256_permute2f128_ps(u2, u6, 0x31);
        r[7] = _mm256_permute2f128_ps(u3, u7, 0x31);
    }

    static float sum(Vec v) {
        __m128 s = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
        s = _mm_add_ps(s, _mm_movehl_ps(s, s));
        s = _mm_add_ss(s, _mm_movehdup_ps(s));
        return _mm_cvtss_f32(s);
    }
};

// Codes and query widened to 16 bits, multiplied pairwise into 32-bit sums.
void codes_dot_avx2(const std::int8_t* q, const std::uint8_t* codes, std::size_t count, std::size_t n,
                    std::int32_t* out) {
    for (std::size_t r = 0; r < count; ++r) {
        const std::uint8_t* c = codes + r * n;
        __m256i a0 = _mm256_setzero_si256(), a1 = _mm256_setzero_si256();
        for (std::size_t i = 0; i < n; i += 32) {
            const __m256i x0 = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(c + i)));
            const __m256i x1 = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(c + i + 16)));
            const __m256i q0 = _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(q + i)));
            const __m256i q1 = _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(q + i + 16)));
            a0 = _mm256_add_epi32(a0, _mm256_madd_epi16(x0, q0));
            a1 = _mm256_add_epi32(a1, _mm256_madd_epi16(x1, q1));
        }
        const __m256i a = _mm256_add_epi32(a0, a1);
        __m128i s = _mm_add_epi32(_mm256_castsi256_si128(a), _mm256_extracti128_si256(a, 1));
        s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0x4E));
        s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0xB1));
        out[r] = _mm_cvtsi128_si32(s);
    }
}

const ExactKernels AVX2_EXACT{"avx2", exact_rows<Avx2, false>, exact_rows<Avx2, true>,
                              exact_split_rows<Avx2, false>, exact_split_rows<Avx2, true>};
const FastKernels AVX2_FAST{"avx2",          fast_pair<Avx2, 4, false>, fast_pair<Avx2, 4, true>,
                            fast_dot_upper<Avx2, 4>, fast_dot_uppers<Avx2, 4>, codes_dot_avx2,
                            signs_apart<Avx2>};

}  // namespace
}  // namespace karnoxel::core
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

namespace karnoxel::core {
namespace {
bool cpu_has_avx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") && __builtin_cpu_supports("popcnt");
}
}  // namespace

namespace simd {
const ExactKernels* avx2_exact() {
    return cpu_has_avx2() ? &AVX2_EXACT : nullptr;
}
const FastKernels* avx2_fast() {
    return cpu_has_avx2() ? &AVX2_FAST : nullptr;
}
}  // namespace simd
}  // namespace karnoxel::core

#else

namespace karnoxel::core::simd {
const ExactKernels* avx2_exact() {
    return nullptr;
}
const FastKernels* avx2_fast() {
    return nullptr;
}
}  // namespace karnoxel::core::simd

#endif
