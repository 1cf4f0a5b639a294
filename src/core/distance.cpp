#include "core/distance.hpp"

#include <cmath>

namespace karnoxel::core {

std::string_view error_text(DistanceError error) {
    switch (error) {
        case DistanceError::DimensionMismatch:
            return "Dimension mismatch: Vector lengths must be structurally identical.";
        case DistanceError::ZeroMagnitude:
            return "Vector magnitude mathematically cannot be zero during cosine normalization steps.";
    }
    return "";
}

// These loops must stay sequential: the build forbids contraction and
// reassociation (-ffp-contract=off, no -ffast-math), so the compiler keeps one
// rounded product and one rounded addition per element, in index order.
float sum_products(const float* a, const float* b, std::size_t n) {
    float sum = -0.0f;
    for (std::size_t i = 0; i < n; ++i) {
        const float term = a[i] * b[i];
        sum = sum + term;
    }
    return sum;
}

float sum_squares(const float* a, std::size_t n) {
    float sum = -0.0f;
    for (std::size_t i = 0; i < n; ++i) {
        const float term = a[i] * a[i];
        sum = sum + term;
    }
    return sum;
}

float sum_squared_differences(const float* a, const float* b, std::size_t n) {
    float sum = -0.0f;
    for (std::size_t i = 0; i < n; ++i) {
        const float d = a[i] - b[i];
        const float term = d * d;
        sum = sum + term;
    }
    return sum;
}

ScoreResult dot_product(FloatSpan a, FloatSpan b) {
    if (a.size() != b.size()) return fail(DistanceError::DimensionMismatch);
    return sum_products(a.data(), b.data(), a.size());
}

ScoreResult euclidean_distance(FloatSpan a, FloatSpan b) {
    if (a.size() != b.size()) return fail(DistanceError::DimensionMismatch);
    if (a.empty()) return -0.0f;
    return std::sqrt(sum_squared_differences(a.data(), b.data(), a.size()));
}

ScoreResult cosine_similarity(FloatSpan a, FloatSpan b) {
    if (a.size() != b.size()) return fail(DistanceError::DimensionMismatch);
    // Three accumulators in one pass, each following the rule on its own.
    float dot = -0.0f, a_squares = -0.0f, b_squares = -0.0f;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const float ab = a[i] * b[i];
        const float aa = a[i] * a[i];
        const float bb = b[i] * b[i];
        dot = dot + ab;
        a_squares = a_squares + aa;
        b_squares = b_squares + bb;
    }
    return cosine_from_sums(dot, a_squares, b_squares);
}

float cosine_distance(FloatSpan a, FloatSpan b) {
    const ScoreResult cosine = cosine_similarity(a, b);
    if (!cosine.ok()) return MAX_DISTANCE;
    return 1.0f - cosine.value();
}

std::optional<DistanceMetric> parse_metric(std::string_view text) {
    // Lower-casing ASCII letters accepts exactly the texts that full Unicode
    // lower-casing would: the only non-ASCII character that lower-cases to
    // ASCII is the Kelvin sign, and 'k' occurs in none of the names.
    char lowered[16];
    if (text.size() > sizeof lowered) return std::nullopt;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        lowered[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    const std::string_view name(lowered, text.size());
    if (name == "cosine") return DistanceMetric::Cosine;
    if (name == "dot_product" || name == "dot") return DistanceMetric::DotProduct;
    if (name == "euclidean" || name == "l2") return DistanceMetric::Euclidean;
    return std::nullopt;
}

}  // namespace karnoxel::core
