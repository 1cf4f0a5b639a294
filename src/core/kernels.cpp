#include "core/kernels.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/distance.hpp"
#include "core/halves.hpp"

namespace karnoxel::core {
namespace {

// Where the scalar kernels read a row's values: a float array, or a row
// kept in halves (upper halves at the pointer, lower halves n further).
struct FloatAt {
    using Row = const float*;
    static float at(Row r, std::size_t i, std::size_t) { return r[i]; }
};
struct SplitAt {
    using Row = const std::uint16_t*;
    static float at(Row r, std::size_t i, std::size_t n) { return join_halves(r[i], r[n + i]); }
};

template <class S, bool Diff>
inline float term(float qi, typename S::Row r, std::size_t i, std::size_t n) {
    if constexpr (Diff) {
        const float d = qi - S::at(r, i, n);
        return d * d;
    } else {
        return qi * S::at(r, i, n);
    }
}

// Four rows at a time: four independent dependency chains, each one still a
// plain sequential sum.
template <class S, bool Diff>
void rows_scalar(const float* q, const typename S::Row* rows, std::size_t count, std::size_t n, float* out) {
    std::size_t r = 0;
    for (; r + 4 <= count; r += 4) {
        const typename S::Row r0 = rows[r], r1 = rows[r + 1], r2 = rows[r + 2], r3 = rows[r + 3];
        float s0 = -0.0f, s1 = -0.0f, s2 = -0.0f, s3 = -0.0f;
        for (std::size_t i = 0; i < n; ++i) {
            const float qi = q[i];
            const float t0 = term<S, Diff>(qi, r0, i, n), t1 = term<S, Diff>(qi, r1, i, n);
            const float t2 = term<S, Diff>(qi, r2, i, n), t3 = term<S, Diff>(qi, r3, i, n);
            s0 = s0 + t0;
            s1 = s1 + t1;
            s2 = s2 + t2;
            s3 = s3 + t3;
        }
        out[r] = s0;
        out[r + 1] = s1;
        out[r + 2] = s2;
        out[r + 3] = s3;
    }
    for (; r < count; ++r) {
        float sum = -0.0f;
        for (std::size_t i = 0; i < n; ++i) {
            const float t = term<S, Diff>(q[i], rows[r], i, n);
            sum = sum + t;
        }
        out[r] = sum;
    }
}

float dot_upper_scalar(const float* a, const std::uint16_t* b, std::size_t n) {
    float sum = 0.0f;
    for (std::size_t i = 0; i < n; ++i) sum += a[i] * upper_value(b[i]);
    return sum;
}

float dot_uppers_scalar(const std::uint16_t* a, const std::uint16_t* b, std::size_t n) {
    float sum = 0.0f;
    for (std::size_t i = 0; i < n; ++i) sum += upper_value(a[i]) * upper_value(b[i]);
    return sum;
}

std::int32_t code_row_sum(const std::int8_t* q, const std::uint8_t* c, std::size_t n) {
    std::int32_t sum = 0;
    for (std::size_t i = 0; i < n; ++i) sum += static_cast<std::int32_t>(q[i]) * c[i];
    return sum;
}

void codes_dot_scalar(const std::int8_t* q, const std::uint8_t* codes, const std::uint32_t* entries,
                      std::size_t count, std::size_t n, std::int32_t* out) {
    if (entries == nullptr) {
        for (std::size_t r = 0; r < count; ++r) out[r] = code_row_sum(q, codes + r * n, n);
        return;
    }
    prefetch_first_rows(codes, entries, count, n);
    for (std::size_t r = 0; r < count; ++r) {
        prefetch_listed_row(codes, entries, r, count, n);
        out[r] = code_row_sum(q, codes + std::size_t{entries[r]} * n, n);
    }
}

void signs_apart_scalar(const std::uint64_t* q, const std::uint64_t* signs, std::size_t count, std::size_t words,
                        std::uint32_t* out) {
    for (std::size_t start = 0; start < count; start += SIGN_BLOCK) {
        const std::uint64_t* block = signs + start * words;
        for (std::size_t lane = 0; lane < SIGN_BLOCK; ++lane) {
            std::uint32_t apart = 0;
            for (std::size_t w = 0; w < words; ++w) {
                apart += static_cast<std::uint32_t>(__builtin_popcountll(q[w] ^ block[w * SIGN_BLOCK + lane]));
            }
            out[start + lane] = apart;
        }
    }
}

std::size_t signs_within_scalar(const std::uint32_t* apart, std::size_t count, std::uint32_t limit,
                                std::uint32_t* near) {
    std::size_t selected = 0;
    for (std::size_t pos = 0; pos < count; ++pos) {  // without a branch per entry
        near[selected] = static_cast<std::uint32_t>(pos);
        selected += apart[pos] <= limit;
    }
    return selected;
}

const ExactKernels SCALAR_EXACT{"scalar", rows_scalar<FloatAt, false>, rows_scalar<FloatAt, true>,
                                rows_scalar<SplitAt, false>, rows_scalar<SplitAt, true>};
const FastKernels SCALAR_FAST{"scalar",         sum_products,      sum_squared_differences,
                              dot_upper_scalar, dot_uppers_scalar, codes_dot_scalar,
                              signs_apart_scalar, signs_within_scalar};

enum class Level { Scalar = 0, Avx2 = 1, Avx512 = 2 };

Level requested_level() {
    const char* env = std::getenv("KARNOXEL_SIMD");
    if (env == nullptr) return Level::Avx512;
    if (std::strcmp(env, "scalar") == 0) return Level::Scalar;
    if (std::strcmp(env, "avx2") == 0) return Level::Avx2;
    return Level::Avx512;
}

template <class K>
const K& choose(const K* avx512, const K* avx2, const K& scalar) {
    const Level level = requested_level();
    if (level >= Level::Avx512 && avx512 != nullptr) return *avx512;
    if (level >= Level::Avx2 && avx2 != nullptr) return *avx2;
    return scalar;
}

}  // namespace

const ExactKernels& exact_kernels() {
    static const ExactKernels& chosen = choose(simd::avx512_exact(), simd::avx2_exact(), SCALAR_EXACT);
    return chosen;
}

const FastKernels& fast_kernels() {
    static const FastKernels& chosen = choose(simd::avx512_fast(), simd::avx2_fast(), SCALAR_FAST);
    return chosen;
}

}  // namespace karnoxel::core
