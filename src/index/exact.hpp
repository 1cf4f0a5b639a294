// Exact scoring: the hit record, the hit order, the best-k collector and the
// exact scan.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "core/distance.hpp"
#include "core/points.hpp"

namespace karnoxel::index {

struct SearchHit {
    std::uint64_t id;  // the point's id
    float score;       // similarity (dot product, cosine) or distance (Euclidean)
};

// Whether hit a must come strictly before hit b: higher scores first for dot
// product and cosine, lower first for Euclidean. IEEE comparisons: NaN and
// equal scores rank before nothing.
inline bool ranks_before(core::DistanceMetric metric, const SearchHit& a, const SearchHit& b) {
    return core::higher_is_better(metric) ? a.score > b.score : a.score < b.score;
}

// Keeps the best k of the scored candidates offered: by the metric's order,
// NaN scores after all others, equal scores in slot order (the order in
// which the points' ids were first stored). The result does not depend on
// the order of the offers, so every route ranks alike.
class TopK {
public:
    TopK(std::uint64_t k, core::DistanceMetric metric, std::size_t expected);

    void offer(std::uint32_t slot, float score);
    // The kept hits, best first, ids resolved through the table.
    std::vector<SearchHit> finish(const core::PointTable& table);

private:
    struct Entry {
        float key;           // score oriented so that higher is better; NaN ranks last
        float score;         // the score as reported
        std::uint32_t slot;  // the point's slot, the tie-break
    };
    static bool better(const Entry& a, const Entry& b);

    std::size_t k_;
    bool negate_;
    std::vector<Entry> heap_;  // the kept entries; front is the worst while full
};

// Scores candidates exactly against one query under the accumulation rule,
// many rows at a time with the row kernels, and offers every defined score
// to a TopK. Candidates must have the query's length.
class ExactScorer {
public:
    // Candidates are scored in batches: call flush() after the last one.
    ExactScorer(core::FloatSpan query, core::DistanceMetric metric, const core::PointTable& table, TopK& top);
    ExactScorer(const ExactScorer&) = delete;
    ExactScorer& operator=(const ExactScorer&) = delete;

    // False when no candidate can have a score (a zero query under cosine).
    bool possible() const { return possible_; }
    void add(std::uint32_t slot, const float* vector) {
        slots_[filled_] = slot;
        vectors_[filled_] = vector;
        if (++filled_ == BATCH) flush();
    }
    // A slot's point, if its vector has the query's length.
    void add_slot(std::uint32_t slot);
    void flush();

private:
    static constexpr std::size_t BATCH = 512;
    core::FloatSpan query_;
    core::DistanceMetric metric_;
    const core::PointTable& table_;
    TopK& top_;
    float query_squares_ = 0.0f;
    bool possible_ = true;
    std::size_t filled_ = 0;
    std::uint32_t slots_[BATCH];
    const float* vectors_[BATCH];
    float sums_[BATCH];
};

// Scores every point of the query's length (only the tenant's, when a
// tenant code other than 0 is given) into `scorer`.
void scan_all(core::FloatSpan query, const core::PointTable& table, std::uint32_t tenant, ExactScorer& scorer);

// The aside points of the query's length (only the tenant's, when a tenant
// code other than 0 is given) into `scorer`.
void scan_aside(core::FloatSpan query, const core::PointTable& table, std::uint32_t tenant, ExactScorer& scorer);

// The exact answer: the best k of every point (of the tenant, when one is
// given) by the metric. Points whose score cannot be computed (another
// length, zero magnitude for cosine) are left out.
std::vector<SearchHit> search_exact_knn(core::FloatSpan query, std::uint64_t k, core::DistanceMetric metric,
                                        const core::PointTable& table, std::optional<std::string_view> tenant);

}  // namespace karnoxel::index
