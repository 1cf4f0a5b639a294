// AVX-512 kernels. Only plain pointers cross into these functions, so nothing
// compiled here with wider instructions can be shared with other code.
#include <cstddef>
#include <cstdint>

#include "core/kernels.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
// GCC's AVX-512 headers start some intrinsics from deliberately undefined
// registers, which its own flow analysis then reports under target
// attributes; and returning __m512 from the internal helpers only concerns
// functions compiled for AVX-512 anyway.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wpsabi"
#include <immintrin.h>

#define KARNOXEL_AVX512 __attribute__((target("avx512f")))

namespace karnoxel::core {
namespace {

// After this, r[k] holds element k of rows 0..15.
KARNOXEL_AVX512 inline void transpose16(__m512 r[16]) {
    __m512 t[16];
    for (int g = 0; g < 16; g += 4) {
        t[g + 0] = _mm512_unpacklo_ps(r[g + 0], r[g + 1]);
        t[g + 1] = _mm512_unpackhi_ps(r[g + 0], r[g + 1]);
        t[g + 2] = _mm512_unpacklo_ps(r[g + 2], r[g + 3]);
        t[g + 3] = _mm512_unpackhi_ps(r[g + 2], r[g + 3]);
    }
    // u[4g + c]: per 128-bit lane l, element 4l + c of rows 4g..4g+3.
    __m512 u[16];
    for (int g = 0; g < 16; g += 4) {
        const __m512d a = _mm512_castps_pd(t[g]), b = _mm512_castps_pd(t[g + 1]);
        const __m512d c = _mm512_castps_pd(t[g + 2]), d = _mm512_castps_pd(t[g + 3]);
        u[g + 0] = _mm512_castpd_ps(_mm512_unpacklo_pd(a, c));
        u[g + 1] = _mm512_castpd_ps(_mm512_unpackhi_pd(a, c));
        u[g + 2] = _mm512_castpd_ps(_mm512_unpacklo_pd(b, d));
        u[g + 3] = _mm512_castpd_ps(_mm512_unpackhi_pd(b, d));
    }
    // Gather lane l of the four row groups into column 4l + c.
    for (int c = 0; c < 4; ++c) {
        const __m512 p01 = _mm512_shuffle_f32x4(u[c], u[4 + c], 0x44);
        const __m512 q01 = _mm512_shuffle_f32x4(u[c], u[4 + c], 0xEE);
        const __m512 p23 = _mm512_shuffle_f32x4(u[8 + c], u[12 + c], 0x44);
        const __m512 q23 = _mm512_shuffle_f32x4(u[8 + c], u[12 + c], 0xEE);
        r[0 + c] = _mm512_shuffle_f32x4(p01, p23, 0x88);
        r[4 + c] = _mm512_shuffle_f32x4(p01, p23, 0xDD);
        r[8 + c] = _mm512_shuffle_f32x4(q01, q23, 0x88);
        r[12 + c] = _mm512_shuffle_f32x4(q01, q23, 0xDD);
    }
}

template <bool Diff>
KARNOXEL_AVX512 inline __m512 accumulate16(__m512 acc, const float* q, const __m512 cols[16], std::size_t count) {
    for (std::size_t k = 0; k < count; ++k) {
        const __m512 qk = _mm512_set1_ps(q[k]);
        __m512 term;
        if constexpr (Diff) {
            const __m512 d = _mm512_sub_ps(qk, cols[k]);
            term = _mm512_mul_ps(d, d);
        } else {
            term = _mm512_mul_ps(qk, cols[k]);
        }
        acc = _mm512_add_ps(acc, term);
    }
    return acc;
}

// Sixteen rows, one lane each: lane j adds the terms of row j in index order.
// Sixteen rows streamed at once are more than the hardware prefetcher
// follows, so the rows of the next block (`next`) are prefetched in step.
template <bool Diff>
KARNOXEL_AVX512 void block16(const float* q, const float* const* rows, const float* const* next, std::size_t n,
                             float* out) {
    __m512 acc = _mm512_set1_ps(-0.0f);
    __m512 t[16];
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        for (int j = 0; j < 16; ++j) _mm_prefetch(reinterpret_cast<const char*>(next[j] + i), _MM_HINT_T0);
        for (int j = 0; j < 16; ++j) t[j] = _mm512_loadu_ps(rows[j] + i);
        transpose16(t);
        acc = accumulate16<Diff>(acc, q + i, t, 16);
    }
    if (i < n) {
        const __mmask16 mask = static_cast<__mmask16>((1u << (n - i)) - 1u);
        for (int j = 0; j < 16; ++j) t[j] = _mm512_maskz_loadu_ps(mask, rows[j] + i);
        transpose16(t);
        acc = accumulate16<Diff>(acc, q + i, t, n - i);
    }
    _mm512_storeu_ps(out, acc);
}

template <bool Diff>
KARNOXEL_AVX512 void rows_avx512(const float* q, const float* const* rows, std::size_t count, std::size_t n,
                                 float* out) {
    std::size_t r = 0;
    for (; r + 16 <= count; r += 16) {
        const float* const* next = r + 32 <= count ? rows + r + 16 : rows + r;
        block16<Diff>(q, rows + r, next, n, out + r);
    }
    if (r < count) {
        // Pad the last block with copies of a real row and keep only the real lanes.
        const float* padded[16];
        float lanes[16];
        for (std::size_t j = 0; j < 16; ++j) padded[j] = rows[r + (r + j < count ? j : 0)];
        block16<Diff>(q, padded, padded, n, lanes);
        for (std::size_t j = 0; r + j < count; ++j) out[r + j] = lanes[j];
    }
}

template <bool Diff>
KARNOXEL_AVX512 float pair_avx512(const float* a, const float* b, std::size_t n) {
    __m512 s0 = _mm512_setzero_ps(), s1 = _mm512_setzero_ps();
    auto step = [](__m512 s, __m512 x, __m512 y) KARNOXEL_AVX512 {
        if constexpr (Diff) {
            const __m512 d = _mm512_sub_ps(x, y);
            return _mm512_fmadd_ps(d, d, s);
        } else {
            return _mm512_fmadd_ps(x, y, s);
        }
    };
    std::size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        s0 = step(s0, _mm512_loadu_ps(a + i), _mm512_loadu_ps(b + i));
        s1 = step(s1, _mm512_loadu_ps(a + i + 16), _mm512_loadu_ps(b + i + 16));
    }
    if (i + 16 <= n) {
        s0 = step(s0, _mm512_loadu_ps(a + i), _mm512_loadu_ps(b + i));
        i += 16;
    }
    if (i < n) {
        const __mmask16 mask = static_cast<__mmask16>((1u << (n - i)) - 1u);
        s1 = step(s1, _mm512_maskz_loadu_ps(mask, a + i), _mm512_maskz_loadu_ps(mask, b + i));
    }
    return _mm512_reduce_add_ps(_mm512_add_ps(s0, s1));
}

const ExactKernels AVX512_EXACT{"avx512", rows_avx512<false>, rows_avx512<true>};
const FastKernels AVX512_FAST{"avx512", pair_avx512<false>, pair_avx512<true>};

bool cpu_has_avx512() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f");
}

}  // namespace

namespace simd {
const ExactKernels* avx512_exact() {
    return cpu_has_avx512() ? &AVX512_EXACT : nullptr;
}
const FastKernels* avx512_fast() {
    return cpu_has_avx512() ? &AVX512_FAST : nullptr;
}
}  // namespace simd

}  // namespace karnoxel::core

#else

namespace karnoxel::core::simd {
const ExactKernels* avx512_exact() {
    return nullptr;
}
const FastKernels* avx512_fast() {
    return nullptr;
}
}  // namespace karnoxel::core::simd

#endif
