// AVX-512 kernels: the shared drivers over 16-float lanes. Only plain
// pointers cross into these functions, so nothing compiled here with wider
// instructions can be shared with other code.
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

// Everything defined from here to the matching pop takes the instruction set.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f,popcnt"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f,popcnt")
#endif
#include "core/simd_drivers.hpp"

namespace karnoxel::core {
namespace {

struct Avx512 {
    using Vec = __m512;
    static constexpr std::size_t W = 16;

    static Vec set1(float x) { return _mm512_set1_ps(x); }
    static Vec add(Vec a, Vec b) { return _mm512_add_ps(a, b); }
    static Vec sub(Vec a, Vec b) { return _mm512_sub_ps(a, b); }
    static Vec mul(Vec a, Vec b) { return _mm512_mul_ps(a, b); }
    static Vec fmadd(Vec a, Vec b, Vec c) { return _mm512_fmadd_ps(a, b, c); }
    static Vec load(const float* p) { return _mm512_loadu_ps(p); }
    static Vec load_first(const float* p, std::size_t count) {
        return _mm512_maskz_loadu_ps(static_cast<__mmask16>((1u << count) - 1u), p);
    }
    static Vec load_upper(const std::uint16_t* p) {
        const __m512i up = _mm512_cvtepu16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
        return _mm512_castsi512_ps(_mm512_slli_epi32(up, 16));
    }
    static Vec join(const std::uint16_t* upper, const std::uint16_t* lower) {
        const __m512i up = _mm512_cvtepu16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(upper)));
        const __m512i low = _mm512_cvtepi16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(lower)));
        return _mm512_castsi512_ps(_mm512_add_epi32(_mm512_slli_epi32(up, 16), low));
    }
    static void store(float* p, Vec v) { _mm512_storeu_ps(p, v); }

    // After this, r[k] holds element k of rows 0..15.
    static void transpose(Vec r[16]) {
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

    static float sum(Vec v) { return _mm512_reduce_add_ps(v); }
};

// The r-th row of a code-sum call: listed, or back to back; and the read-ahead
// of listed rows (core/kernels.hpp).
const std::uint8_t* call_row(const std::uint8_t* codes, const std::uint32_t* entries, std::size_t r, std::size_t n) {
    return codes + (entries != nullptr ? std::size_t{entries[r]} : r) * n;
}

void read_ahead(const std::uint8_t* codes, const std::uint32_t* entries, std::size_t r, std::size_t count,
                std::size_t n) {
    if (entries != nullptr) prefetch_listed_row(codes, entries, r, count, n);
}

// Codes and query widened to 16 bits, multiplied pairwise into 32-bit sums.
// (Only these byte kernels take AVX-512BW: compiling the float kernels with
// it made them slower.)
__attribute__((target("avx512f,avx512bw"))) void codes_dot_avx512(const std::int8_t* q, const std::uint8_t* codes,
                                                                 const std::uint32_t* entries, std::size_t count,
                                                                 std::size_t n, std::int32_t* out) {
    if (entries != nullptr) prefetch_first_rows(codes, entries, count, n);
    for (std::size_t r = 0; r < count; ++r) {
        read_ahead(codes, entries, r, count, n);
        const std::uint8_t* c = call_row(codes, entries, r, n);
        __m512i a = _mm512_setzero_si512();
        for (std::size_t i = 0; i < n; i += 32) {
            const __m512i x = _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(c + i)));
            const __m512i y = _mm512_cvtepi8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + i)));
            a = _mm512_add_epi32(a, _mm512_madd_epi16(x, y));
        }
        out[r] = _mm512_reduce_add_epi32(a);
    }
}

// Unsigned codes times signed query bytes, four products into each 32-bit
// lane per instruction; two rows at a time.
__attribute__((target("avx512f,avx512bw,avx512vnni"))) void codes_dot_vnni(const std::int8_t* q,
                                                                          const std::uint8_t* codes,
                                                                          const std::uint32_t* entries,
                                                                          std::size_t count, std::size_t n,
                                                                          std::int32_t* out) {
    if (entries != nullptr) prefetch_first_rows(codes, entries, count, n);
    std::size_t r = 0;
    for (; r + 2 <= count; r += 2) {
        read_ahead(codes, entries, r, count, n);
        read_ahead(codes, entries, r + 1, count, n);
        const std::uint8_t* c0 = call_row(codes, entries, r, n);
        const std::uint8_t* c1 = call_row(codes, entries, r + 1, n);
        __m512i a0 = _mm512_setzero_si512(), a1 = _mm512_setzero_si512();
        for (std::size_t i = 0; i < n; i += 64) {
            const __m512i y = _mm512_loadu_si512(q + i);
            a0 = _mm512_dpbusd_epi32(a0, _mm512_loadu_si512(c0 + i), y);
            a1 = _mm512_dpbusd_epi32(a1, _mm512_loadu_si512(c1 + i), y);
        }
        out[r] = _mm512_reduce_add_epi32(a0);
        out[r + 1] = _mm512_reduce_add_epi32(a1);
    }
    for (; r < count; ++r) {
        const std::uint8_t* c = call_row(codes, entries, r, n);
        __m512i a = _mm512_setzero_si512();
        for (std::size_t i = 0; i < n; i += 64) {
            a = _mm512_dpbusd_epi32(a, _mm512_loadu_si512(c + i), _mm512_loadu_si512(q + i));
        }
        out[r] = _mm512_reduce_add_epi32(a);
    }
}

// Bits apart for a block of eight entries per step: their words side by
// side, each against the query's word in every lane.
__attribute__((target("avx512f,avx512vpopcntdq"))) void signs_apart_vpopcnt(const std::uint64_t* q,
                                                                            const std::uint64_t* signs,
                                                                            std::size_t count, std::size_t words,
                                                                            std::uint32_t* out) {
    static_assert(SIGN_BLOCK == 8, "one 512-bit vector per word of a block");
    for (std::size_t start = 0; start < count; start += SIGN_BLOCK) {
        const std::uint64_t* block = signs + start * words;
        __m512i apart = _mm512_setzero_si512();
        for (std::size_t w = 0; w < words; ++w) {
            const __m512i x = _mm512_xor_si512(_mm512_loadu_si512(block + w * SIGN_BLOCK),
                                               _mm512_set1_epi64(static_cast<long long>(q[w])));
            apart = _mm512_add_epi64(apart, _mm512_popcnt_epi64(x));
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + start), _mm512_cvtepi64_epi32(apart));
    }
}

const ExactKernels AVX512_EXACT{"avx512", exact_rows<Avx512, false>, exact_rows<Avx512, true>,
                                exact_split_rows<Avx512, false>, exact_split_rows<Avx512, true>};
const FastKernels AVX512_FAST{"avx512",
                              fast_pair<Avx512, 2, false>,
                              fast_pair<Avx512, 2, true>,
                              fast_dot_upper<Avx512, 2>,
                              fast_dot_uppers<Avx512, 2>,
                              codes_dot_avx512,
                              simd::signs_apart_avx2,
                              simd::signs_within_avx2};
const FastKernels AVX512_VNNI_FAST{"avx512", fast_pair<Avx512, 2, false>, fast_pair<Avx512, 2, true>,
                                   fast_dot_upper<Avx512, 2>, fast_dot_uppers<Avx512, 2>,
                                   codes_dot_vnni, simd::signs_apart_avx2, simd::signs_within_avx2};

}  // namespace
}  // namespace karnoxel::core
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

namespace karnoxel::core {
namespace {
bool cpu_has_avx512() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("popcnt");
}
}  // namespace

namespace simd {
const ExactKernels* avx512_exact() {
    return cpu_has_avx512() ? &AVX512_EXACT : nullptr;
}
const FastKernels* avx512_fast() {
    if (!cpu_has_avx512()) return nullptr;
    static const FastKernels chosen = [] {
        FastKernels kernels = __builtin_cpu_supports("avx512vnni") ? AVX512_VNNI_FAST : AVX512_FAST;
        if (__builtin_cpu_supports("avx512vpopcntdq")) kernels.signs_apart = signs_apart_vpopcnt;
        return kernels;
    }();
    return &chosen;
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
