// Distance metrics, metric names and the accumulation rule.
//
// Every score that reaches a user is a sum formed under one rule: start at
// -0.0, add the terms in index order, each term (a product, or a squared
// difference whose difference is rounded first) rounded to single precision
// before it is added. No fused multiply-add, no reordering, no partial sums.
// The scalar functions here are the reference; the SIMD row kernels of
// kernels.hpp reproduce them bit for bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "core/result.hpp"

namespace karnoxel::core {

enum class DistanceMetric : std::uint8_t { DotProduct = 0, Cosine = 1, Euclidean = 2 };

enum class DistanceError : std::uint8_t { DimensionMismatch, ZeroMagnitude };

using FloatSpan = std::span<const float>;
using ScoreResult = Result<float, DistanceError>;

// The largest finite single-precision value: the distance of pairs whose
// cosine is undefined.
inline constexpr float MAX_DISTANCE = 3.4028234663852886e38f;

std::string_view error_text(DistanceError error);

// Sums under the accumulation rule.
float sum_products(const float* a, const float* b, std::size_t n);
float sum_squares(const float* a, std::size_t n);
float sum_squared_differences(const float* a, const float* b, std::size_t n);

ScoreResult dot_product(FloatSpan a, FloatSpan b);
ScoreResult euclidean_distance(FloatSpan a, FloatSpan b);
ScoreResult cosine_similarity(FloatSpan a, FloatSpan b);
// 1 - cosine_similarity in single precision, or MAX_DISTANCE where it fails.
float cosine_distance(FloatSpan a, FloatSpan b);

// The cosine from its three sums: D / (sqrt(A) * sqrt(B)), or the magnitude
// error when A or B compares equal to zero. Used with cached squared norms.
inline ScoreResult cosine_from_sums(float dot, float a_squares, float b_squares);

// Whether higher scores rank first (dot product, cosine) or lower (Euclidean).
constexpr bool higher_is_better(DistanceMetric metric) {
    return metric != DistanceMetric::Euclidean;
}

// Parses a metric name case-insensitively: cosine, dot_product, dot,
// euclidean, l2. Nothing for any other text.
std::optional<DistanceMetric> parse_metric(std::string_view text);

}  // namespace karnoxel::core

#include <cmath>

namespace karnoxel::core {

inline ScoreResult cosine_from_sums(float dot, float a_squares, float b_squares) {
    if (a_squares == 0.0f || b_squares == 0.0f) return fail(DistanceError::ZeroMagnitude);
    return dot / (std::sqrt(a_squares) * std::sqrt(b_squares));
}

}  // namespace karnoxel::core
