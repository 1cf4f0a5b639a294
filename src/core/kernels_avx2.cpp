// AVX2 kernels: the shared drivers over 8-float lanes. Only plain pointers
// cross into these functions, so nothing compiled here with wider
// instructions can be shared with other code.
#include <algorithm>
#include <array>
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

__m256i load(const void* p) {
    return _mm256_loadu_si256(static_cast<const __m256i*>(p));
}

std::int32_t sum32(__m256i a) {
    __m128i s = _mm_add_epi32(_mm256_castsi256_si128(a), _mm256_extracti128_si256(a, 1));
    s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0x4E));
    s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0xB1));
    return _mm_cvtsi128_si32(s);
}

// Codes against the query in bytes. Each code c is 128 + v with v in
// [-127, 127]: q * c = |q| * (v with q's sign) + 128 * q, where the first
// products are unsigned by signed bytes, two to a 16-bit sum that cannot
// saturate (at most 2 * 127 * 127). A row's sum of the first products:
std::int32_t code_row_products(const std::int8_t* q, const std::uint8_t* c, std::size_t n) {
    const __m256i flip = _mm256_set1_epi8(static_cast<char>(0x80));
    const __m256i ones = _mm256_set1_epi16(1);
    __m256i a0 = _mm256_setzero_si256(), a1 = _mm256_setzero_si256();
    for (std::size_t i = 0; i < n; i += 64) {
        const __m256i x0 = load(q + i), x1 = load(q + i + 32);
        const __m256i v0 = _mm256_xor_si256(load(c + i), flip), v1 = _mm256_xor_si256(load(c + i + 32), flip);
        a0 = _mm256_add_epi32(
            a0, _mm256_madd_epi16(_mm256_maddubs_epi16(_mm256_abs_epi8(x0), _mm256_sign_epi8(v0, x0)), ones));
        a1 = _mm256_add_epi32(
            a1, _mm256_madd_epi16(_mm256_maddubs_epi16(_mm256_abs_epi8(x1), _mm256_sign_epi8(v1, x1)), ones));
    }
    return sum32(_mm256_add_epi32(a0, a1));
}

// The second terms, 128 times the query's sum, are taken once per call (once
// per query when a scan lists its rows).
void codes_dot_avx2(const std::int8_t* q, const std::uint8_t* codes, const std::uint32_t* entries, std::size_t count,
                    std::size_t n, std::int32_t* out) {
    const __m256i flip = _mm256_set1_epi8(static_cast<char>(0x80));
    const __m256i zero = _mm256_setzero_si256();
    // The sum of the query: of its bytes plus 128 each, read as unsigned.
    __m256i lifted = zero;
    for (std::size_t i = 0; i < n; i += 32) {
        lifted = _mm256_add_epi64(lifted, _mm256_sad_epu8(_mm256_xor_si256(load(q + i), flip), zero));
    }
    const __m128i halves = _mm_add_epi64(_mm256_castsi256_si128(lifted), _mm256_extracti128_si256(lifted, 1));
    const auto query_sum = static_cast<std::int32_t>(_mm_cvtsi128_si64(halves) + _mm_extract_epi64(halves, 1) -
                                                     static_cast<long long>(128 * n));
    const std::int32_t base = 128 * query_sum;
    if (entries == nullptr) {
        for (std::size_t r = 0; r < count; ++r) out[r] = code_row_products(q, codes + r * n, n) + base;
        return;
    }
    prefetch_first_rows(codes, entries, count, n);
    for (std::size_t r = 0; r < count; ++r) {
        prefetch_listed_row(codes, entries, r, count, n);
        out[r] = code_row_products(q, codes + std::size_t{entries[r]} * n, n) + base;
    }
}

// The positions of the set bits of every 8-bit mask, in increasing order,
// one byte each (unused bytes 0): the lanes a left-packing permute takes.
constexpr std::array<std::uint64_t, 256> PACK_LANES = [] {
    std::array<std::uint64_t, 256> lanes{};
    for (std::size_t mask = 0; mask < 256; ++mask) {
        std::size_t out = 0;
        for (std::size_t bit = 0; bit < 8; ++bit) {
            if ((mask >> bit) & 1) lanes[mask] |= std::uint64_t{bit} << (8 * out++);
        }
    }
    return lanes;
}();

}  // namespace

namespace simd {

// Bits apart for a block of eight entries per step. The bits of each 64-bit
// word are counted per byte by two table lookups (its low and high four
// bits), the byte counts added over up to eight words (at most 64 each),
// then summed per entry by a sum of absolute differences against zero.
void signs_apart_avx2(const std::uint64_t* q, const std::uint64_t* signs, std::size_t count, std::size_t words,
                      std::uint32_t* out) {
    static_assert(SIGN_BLOCK == 8, "two 256-bit vectors per word of a block");
    const __m256i table = _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4,  //
                                           0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4);
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    const __m256i zero = _mm256_setzero_si256();
    auto bits_per_byte = [&](__m256i x) {
        return _mm256_add_epi8(_mm256_shuffle_epi8(table, _mm256_and_si256(x, nibble)),
                               _mm256_shuffle_epi8(table, _mm256_and_si256(_mm256_srli_epi16(x, 4), nibble)));
    };
    // Lanes of the two halves' 64-bit sums in entry order: low 32 bits of
    // entries 0-3 and 4-7 interleaved, then gathered.
    const __m256i order = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
    for (std::size_t start = 0; start < count; start += SIGN_BLOCK) {
        const std::uint64_t* block = signs + start * words;
        __m256i total_low = zero, total_high = zero;  // entries 0-3, 4-7
        for (std::size_t w0 = 0; w0 < words; w0 += 8) {
            __m256i bytes_low = zero, bytes_high = zero;
            for (std::size_t w = w0; w < std::min(words, w0 + 8); ++w) {
                const __m256i qw = _mm256_set1_epi64x(static_cast<long long>(q[w]));
                const auto* lanes = reinterpret_cast<const __m256i*>(block + w * SIGN_BLOCK);
                bytes_low = _mm256_add_epi8(bytes_low, bits_per_byte(_mm256_xor_si256(_mm256_loadu_si256(lanes), qw)));
                bytes_high =
                    _mm256_add_epi8(bytes_high, bits_per_byte(_mm256_xor_si256(_mm256_loadu_si256(lanes + 1), qw)));
            }
            total_low = _mm256_add_epi64(total_low, _mm256_sad_epu8(bytes_low, zero));
            total_high = _mm256_add_epi64(total_high, _mm256_sad_epu8(bytes_high, zero));
        }
        const __m256i mixed = _mm256_blend_epi32(total_low, _mm256_slli_epi64(total_high, 32), 0xAA);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + start), _mm256_permutevar8x32_epi32(mixed, order));
    }
}

// Eight positions per step, compared at once; those within the limit are
// packed to the front of a vector by a permute looked up from the compare's
// mask, and the whole vector is stored: the next step writes over the rest.
std::size_t signs_within_avx2(const std::uint32_t* apart, std::size_t count, std::uint32_t limit,
                              std::uint32_t* near) {
    // Counts never exceed the signs' length (at most 2^16), so a signed
    // compare against limit + 1 is exact.
    const __m256i bound = _mm256_set1_epi32(static_cast<int>(std::min<std::uint32_t>(limit, 1u << 30) + 1));
    const __m256i step = _mm256_set1_epi32(8);
    __m256i positions = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    std::size_t selected = 0;
    std::size_t pos = 0;
    for (; pos + 8 <= count; pos += 8) {
        const __m256i counts = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(apart + pos));
        const auto mask =
            static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpgt_epi32(bound, counts))));
        const __m256i lanes = _mm256_cvtepu8_epi32(_mm_cvtsi64_si128(static_cast<long long>(PACK_LANES[mask])));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(near + selected), _mm256_permutevar8x32_epi32(positions, lanes));
        selected += static_cast<std::size_t>(__builtin_popcount(mask));
        positions = _mm256_add_epi32(positions, step);
    }
    for (; pos < count; ++pos) {
        near[selected] = static_cast<std::uint32_t>(pos);
        selected += apart[pos] <= limit;
    }
    return selected;
}

}  // namespace simd

namespace {

const ExactKernels AVX2_EXACT{"avx2", exact_rows<Avx2, false>, exact_rows<Avx2, true>,
                              exact_split_rows<Avx2, false>, exact_split_rows<Avx2, true>};
const FastKernels AVX2_FAST{"avx2",          fast_pair<Avx2, 4, false>, fast_pair<Avx2, 4, true>,
                            fast_dot_upper<Avx2, 4>, fast_dot_uppers<Avx2, 4>, codes_dot_avx2,
                            simd::signs_apart_avx2, simd::signs_within_avx2};

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
