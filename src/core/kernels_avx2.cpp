// AVX2 kernels. Only plain pointers cross into these functions, so nothing
// compiled here with wider instructions can be shared with other code.
#include <cstddef>
#include <cstdint>

#include "core/kernels.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>

#define KARNOXEL_AVX2 __attribute__((target("avx2,fma")))

namespace karnoxel::core {
namespace {

KARNOXEL_AVX2 inline __m256i tail_mask(std::size_t rem) {
    const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    return _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(rem)), lanes);
}

// After this, r[k] holds element k of rows 0..7.
KARNOXEL_AVX2 inline void transpose8(__m256 r[8]) {
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

template <bool Diff>
KARNOXEL_AVX2 inline __m256 accumulate8(__m256 acc, const float* q, const __m256 cols[8], std::size_t count) {
    for (std::size_t k = 0; k < count; ++k) {
        const __m256 qk = _mm256_set1_ps(q[k]);
        __m256 term;
        if constexpr (Diff) {
            const __m256 d = _mm256_sub_ps(qk, cols[k]);
            term = _mm256_mul_ps(d, d);
        } else {
            term = _mm256_mul_ps(qk, cols[k]);
        }
        acc = _mm256_add_ps(acc, term);
    }
    return acc;
}

// Eight rows, one lane each: lane j adds the terms of row j in index order.
// The rows of the next block (`next`) are prefetched in step, one cache line
// of each per 16 elements.
template <bool Diff>
KARNOXEL_AVX2 void block8(const float* q, const float* const* rows, const float* const* next, std::size_t n,
                          float* out) {
    __m256 acc = _mm256_set1_ps(-0.0f);
    __m256 t[8];
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        if ((i & 15) == 0) {
            for (int j = 0; j < 8; ++j) _mm_prefetch(reinterpret_cast<const char*>(next[j] + i), _MM_HINT_T0);
        }
        for (int j = 0; j < 8; ++j) t[j] = _mm256_loadu_ps(rows[j] + i);
        transpose8(t);
        acc = accumulate8<Diff>(acc, q + i, t, 8);
    }
    if (i < n) {
        const __m256i mask = tail_mask(n - i);
        for (int j = 0; j < 8; ++j) t[j] = _mm256_maskload_ps(rows[j] + i, mask);
        transpose8(t);
        acc = accumulate8<Diff>(acc, q + i, t, n - i);
    }
    _mm256_storeu_ps(out, acc);
}

template <bool Diff>
KARNOXEL_AVX2 void rows_avx2(const float* q, const float* const* rows, std::size_t count, std::size_t n, float* out) {
    std::size_t r = 0;
    for (; r + 8 <= count; r += 8) {
        const float* const* next = r + 16 <= count ? rows + r + 8 : rows + r;
        block8<Diff>(q, rows + r, next, n, out + r);
    }
    if (r < count) {
        // Pad the last block with copies of a real row and keep only the real lanes.
        const float* padded[8];
        float lanes[8];
        for (std::size_t j = 0; j < 8; ++j) padded[j] = rows[r + (r + j < count ? j : 0)];
        block8<Diff>(q, padded, padded, n, lanes);
        for (std::size_t j = 0; r + j < count; ++j) out[r + j] = lanes[j];
    }
}

KARNOXEL_AVX2 inline float hsum8(__m256 v) {
    __m128 s = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
    s = _mm_add_ps(s, _mm_movehl_ps(s, s));
    s = _mm_add_ss(s, _mm_movehdup_ps(s));
    return _mm_cvtss_f32(s);
}

template <bool Diff>
KARNOXEL_AVX2 float pair_avx2(const float* a, const float* b, std::size_t n) {
    __m256 s0 = _mm256_setzero_ps(), s1 = _mm256_setzero_ps(), s2 = _mm256_setzero_ps(), s3 = _mm256_setzero_ps();
    auto step = [&](__m256 s, __m256 x, __m256 y) KARNOXEL_AVX2 {
        if constexpr (Diff) {
            const __m256 d = _mm256_sub_ps(x, y);
            return _mm256_fmadd_ps(d, d, s);
        } else {
            return _mm256_fmadd_ps(x, y, s);
        }
    };
    std::size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        s0 = step(s0, _mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i));
        s1 = step(s1, _mm256_loadu_ps(a + i + 8), _mm256_loadu_ps(b + i + 8));
        s2 = step(s2, _mm256_loadu_ps(a + i + 16), _mm256_loadu_ps(b + i + 16));
        s3 = step(s3, _mm256_loadu_ps(a + i + 24), _mm256_loadu_ps(b + i + 24));
    }
    for (; i + 8 <= n; i += 8) s0 = step(s0, _mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i));
    if (i < n) {
        const __m256i mask = tail_mask(n - i);
        s1 = step(s1, _mm256_maskload_ps(a + i, mask), _mm256_maskload_ps(b + i, mask));
    }
    return hsum8(_mm256_add_ps(_mm256_add_ps(s0, s1), _mm256_add_ps(s2, s3)));
}

const ExactKernels AVX2_EXACT{"avx2", rows_avx2<false>, rows_avx2<true>};
const FastKernels AVX2_FAST{"avx2", pair_avx2<false>, pair_avx2<true>};

bool cpu_has_avx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
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
