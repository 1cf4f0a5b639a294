#include "core/kernels.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/distance.hpp"

namespace karnoxel::core {
namespace {

// Four rows at a time: four independent dependency chains, each one still a
// plain sequential sum.
template <bool Diff>
void rows_scalar(const float* q, const float* const* rows, std::size_t count, std::size_t n, float* out) {
    std::size_t r = 0;
    for (; r + 4 <= count; r += 4) {
        const float *r0 = rows[r], *r1 = rows[r + 1], *r2 = rows[r + 2], *r3 = rows[r + 3];
        float s0 = -0.0f, s1 = -0.0f, s2 = -0.0f, s3 = -0.0f;
        for (std::size_t i = 0; i < n; ++i) {
            const float qi = q[i];
            float t0, t1, t2, t3;
            if constexpr (Diff) {
                const float d0 = qi - r0[i], d1 = qi - r1[i], d2 = qi - r2[i], d3 = qi - r3[i];
                t0 = d0 * d0;
                t1 = d1 * d1;
                t2 = d2 * d2;
                t3 = d3 * d3;
            } else {
                t0 = qi * r0[i];
                t1 = qi * r1[i];
                t2 = qi * r2[i];
                t3 = qi * r3[i];
            }
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
        out[r] = Diff ? sum_squared_differences(q, rows[r], n) : sum_products(q, rows[r], n);
    }
}

void codes_dot_scalar(const std::int8_t* q, const std::uint8_t* codes, std::size_t count, std::size_t n,
                      std::int32_t* out) {
    for (std::size_t r = 0; r < count; ++r) {
        const std::uint8_t* c = codes + r * n;
        std::int32_t sum = 0;
        for (std::size_t i = 0; i < n; ++i) sum += static_cast<std::int32_t>(q[i]) * c[i];
        out[r] = sum;
    }
}

const ExactKernels SCALAR_EXACT{"scalar", rows_scalar<false>, rows_scalar<true>};
const FastKernels SCALAR_FAST{"scalar", sum_products, sum_squared_differences, codes_dot_scalar};

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
